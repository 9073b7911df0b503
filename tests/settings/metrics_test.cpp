// The headless metrics file: label values escaped as the exposition format
// wants them, and a replacement that leaves the old file or the new one and
// never a stray temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "console/headless/metrics_file.h"
#include "console/headless/metrics_text.h"
#include "test_util.h"

namespace {

TEST(MetricsText, EscapesTheInterfaceInEverySample) {
  MetricsValues v;
  v.turnedAway = 7;
  v.createFailures = 2;
  v.inFlight = 3;
  const std::string text = MetricsText(v, "br\"0\\x\ny");
  const std::string label = "{interface=\"br\\\"0\\\\x\\ny\"";
  EXPECT_NE(text.find("\nskav_client_creation_failures_total" + label +
                      ",reason=\"max_clients\"} 7\n"
                      "skav_client_creation_failures_total" + label + ",reason=\"system\"} 2\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nskav_devices_in_flight" + label + "} 3\n"), std::string::npos) << text;
  // Each sample carries the label, and nothing else breaks a line.
  int samples = 0;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    if (line[0] == '#') continue;
    ++samples;
    EXPECT_NE(line.find(label), std::string::npos) << line;
  }
  EXPECT_EQ(at, text.size()) << "the last line has no line feed";
  EXPECT_EQ(samples, 9) << text;
}

TEST(MetricsFile, ReplacesWholeReadableByOthersAndLeavesNothingElse) {
  TempDir dir;
  const std::string path = dir.File("skav.prom");
  const mode_t mask = umask(077);
  const std::string first = ReplaceFileAtomically(path, "a 1\n");
  const std::string second = ReplaceFileAtomically(path, "a 2\n");
  umask(mask);
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, "");
  EXPECT_EQ(ReadFile(path), "a 2\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "node_exporter runs as another user";

  // A folder that is not there, and a name taken by a folder: said in
  // words, nothing written.
  const std::string missing = ReplaceFileAtomically(dir.File("none/skav.prom"), "a 3\n");
  EXPECT_NE(missing.find("cannot create a file in '" + dir.File("none") + "'"),
            std::string::npos)
      << missing;
  const std::string taken = dir.File("taken.prom");
  ASSERT_TRUE(std::filesystem::create_directory(taken));
  EXPECT_NE(ReplaceFileAtomically(taken, "a 4\n"), "");
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2) << "a temporary file was left behind";
}

#ifdef SKAV_SERVER_BIN
// Exit status and standard error of skav-server with `args`.
std::pair<int, std::string> RunServer(const std::string& args, const TempDir& dir) {
  const std::string err = dir.File("stderr");
  const int status =
      std::system((std::string(SKAV_SERVER_BIN) + " " + args + " 2>" + err + " >/dev/null").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(err)};
}

TEST(MetricsFile, OnlyANameTheCollectorReadsIsTaken) {
  TempDir dir;
  using R = std::pair<int, std::string>;
  EXPECT_EQ(RunServer("--headless --metrics", dir), (R{2, "skav-server: --metrics needs a file name\n"}));
  EXPECT_EQ(RunServer("--headless --metrics=/var/lib/skav.txt", dir),
            (R{2, "skav-server: --metrics needs a file name ending in .prom, the only files "
                  "node_exporter's textfile collector reads ('/var/lib/skav.txt')\n"}));
  EXPECT_EQ(RunServer("--headless --metrics /var/lib/.prom", dir).first, 2);
  EXPECT_EQ(RunServer("--metrics /var/lib/skav.prom", dir),
            (R{2, "skav-server: --metrics is for --headless (see skav-server --help)\n"}));
}
#endif

}  // namespace
