// The JSON Lines record of the headless server (--record), black box in
// namespaces with simulated devices: one line per device with the right
// outcome, failure and SHA-256s (against sha256sum), every line parsed by
// jq, and a record that cannot be opened at first loses nothing once it can
// (nor keeps a Done device from Clear meanwhile), a line cut by a full disk
// never glued to the next, even across a reload, a stop that does not wait
// for a frozen file system; --progress lines meanwhile.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "headless_support.h"
#include "integration/e2e_support.h"
#include "support/netns.h"

#if defined(SKAV_SERVER_BIN) && defined(SKAV_DEVSIM_PATH)

namespace {

using namespace std::chrono_literals;
using e2e::Child;

// Standard output of a shell command (the test's own tools: jq, sha256sum).
std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

TEST(HeadlessRecord, EachDeviceLeavesOneLineWithItsImagesFailureAndHashes) {
  SKAV_REQUIRE_NETNS();
  if (Shell("command -v jq").empty()) GTEST_SKIP() << "jq is not installed (scripts/install-deps.sh)";
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const e2e::Bytes fw = e2e::Pattern(3000, 11), st = e2e::Pattern(700, 12);
  const std::string firmware = dir.File("fw one.bin");
  const std::string table = dir.File("st1.bin");
  WriteFile(firmware, std::string(fw.begin(), fw.end()));
  WriteFile(table, std::string(st.begin(), st.end()));
  const std::string log = dir.File("outcomes.log");
  const std::string settings = dir.File("SKAVD.conf");
  WriteFile(settings, "[General]\nInterface Name=" + net.serverIf() + "\nRegion=3\nFirmware Path=" +
                          firmware + "\nString Table 1 Path=" + table +
                          "\nLog Enable=1\nLog Path=" + log + "\n");
  // The record's folder is not there yet: the start says so, and the lines
  // come once it is.
  const std::string folder = dir.File("records");
  const std::string record = folder + "/devices.jsonl";
  ServerProcess server(net.serverNs(), settings, dir,
                       {.args = {"--record", record, "--progress"}});
  ASSERT_TRUE(server.WaitForOut("SKAV Server starts running", 30s)) << server.Err();
  EXPECT_NE(server.Err().find("Fail to open the record file '" + record +
                              "': 'No such file or directory'"),
            std::string::npos)
      << server.Err();

  auto device = [&](const std::string& mac, std::vector<std::string> extra) {
    std::vector<std::string> a = {SKAV_DEVSIM_PATH, "--if", net.deviceIf(), "--timeout", "40",
                                  "--base-mac", mac};
    a.insert(a.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(net.deviceNs(), a);
  };
  auto clean = device("02:5a:00:00:0a:01", {});
  auto refused = device("02:5a:00:00:0a:02", {"--tftp-error", "2", "--tftp-error-code", "3",
                                              "--tftp-error-text", "Disk \"full\""});
  auto silent = device("02:5a:00:00:0a:03",
                       {"--silent-after", "wrq", "--silent-for", "4000", "--then-close"});
  auto early = device("02:5a:00:00:0a:04", {"--no-upload"});
  for (Child* c : {clean.get(), refused.get(), silent.get(), early.get()}) {
    ASSERT_TRUE(c->started());
    c->Wait(std::chrono::seconds(45));
  }
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFile(log), ": Done    \r\n") +
                                         CountOf(ReadFile(log), ": Error   \r\n") == 4; },
                        30s))
      << ReadFile(log) << server.Out();
  struct stat st1 {};
  EXPECT_NE(stat(record.c_str(), &st1), 0) << "written before its folder was there";

  // Clear takes the Done board although its line still waits for the
  // folder: it comes back, is served again, and both its lines arrive.
  ASSERT_EQ(kill(server.pid(), SIGUSR1), 0);
  std::this_thread::sleep_for(1500ms);
  auto again = device("02:5a:00:00:0a:01", {});
  EXPECT_EQ(again->Wait(std::chrono::seconds(45)), 0) << again->output();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFile(log), "02-5A-00-00-0A-01: Done") == 2; },
                        30s))
      << ReadFile(log);

  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(WaitUntil([&] { return SplitLines(ReadFile(record)).size() >= 5; }, 10s))
      << ReadFile(record) << server.Out();
  EXPECT_EQ(CountOf(ReadFile(record), "\"mac\":\"02-5A-00-00-0A-01\""), 2) << ReadFile(record);
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 0) << server.Err();

  // --progress summed the run up while the devices were being served.
  const std::regex summary("progress: [1-4] in flight, [0-4] done, [0-4] failed, [0-9]+\\.[0-9] KiB/s\n");
  EXPECT_TRUE(std::regex_search(server.Out(), summary)) << server.Out();

  const std::vector<std::string> lines = SplitLines(ReadFile(record));
  ASSERT_EQ(lines.size(), 5u) << ReadFile(record);
  // Every line is one JSON object on its own (jq -e fails on anything else).
  for (const std::string& line : lines) {
    EXPECT_EQ(Shell("printf '%s\\n' " + Quoted(line) + " | jq -ce 'type' 2>&1"), "\"object\"\n")
        << line;
  }
  const std::string fwSum = Shell("sha256sum " + Quoted(firmware) + " | cut -d' ' -f1");
  const std::string stSum = Shell("sha256sum " + Quoted(table) + " | cut -d' ' -f1");
  ASSERT_EQ(fwSum.size(), 65u);

  // mac -> the fields jq reads, one per line.
  const std::string query =
      "jq -r '.mac, .ip[0:5], .region, .outcome, .graceful, (.failure.cause // \"-\"), "
      "(.failure.code // \"-\"), (.failure.text // \"-\"), (.failure.block // \"-\"), "
      "(.images | map(.name + \" \" + .file + \" \" + (.size|tostring) + \" \" + .sha256 + "
      "\" \" + (.sent|tostring)) | join(\"|\")), .server.interface, "
      "(.started < .ended), (.started | test(\"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\\\\.[0-9]{3}Z$\"))' ";
  std::map<std::string, std::vector<std::string>> byMac;
  for (const std::string& line : lines) {
    const std::vector<std::string> f =
        SplitLines(Shell("printf '%s\\n' " + Quoted(line) + " | " + query));
    ASSERT_EQ(f.size(), 13u) << line;
    byMac[f[0]] = f;
  }
  const std::string fwHash = fwSum.substr(0, 64), stHash = stSum.substr(0, 64);
  auto images = [&](bool fwSent, bool stSent) {
    return "firmware " + firmware + " 3000 " + fwHash + (fwSent ? " true" : " false") +
           "|string table 01 " + table + " 700 " + stHash + (stSent ? " true" : " false");
  };
  using V = std::vector<std::string>;
  const std::string ifName = net.serverIf();
  EXPECT_EQ(byMac["02-5A-00-00-0A-01"], (V{"02-5A-00-00-0A-01", "10.0.", "3", "Done", "true", "-",
                                          "-", "-", "-", images(true, true), ifName, "true", "true"}));
  EXPECT_EQ(byMac["02-5A-00-00-0A-02"],
            (V{"02-5A-00-00-0A-02", "10.0.", "3", "Error", "true", "tftp-error", "3",
               "Disk \"full\"", "2", images(false, false), ifName, "true", "true"}));
  EXPECT_EQ(byMac["02-5A-00-00-0A-03"], (V{"02-5A-00-00-0A-03", "10.0.", "3", "Error", "true",
                                          "timeout", "-", "-", "1", images(false, false), ifName,
                                          "true", "true"}));
  EXPECT_EQ(byMac["02-5A-00-00-0A-04"], (V{"02-5A-00-00-0A-04", "10.0.", "3", "Error", "true",
                                          "closed-early", "-", "-", "-", images(false, false),
                                          ifName, "true", "true"}));
}

// The system's tools, whatever this shell's PATH.
std::string Sbin(const std::string& command) {
  return Shell("PATH=/usr/sbin:/sbin:$PATH; " + command);
}

// Thaws (should it be frozen) and unmounts a file system the test made.
struct Unmount {
  std::string at;
  ~Unmount() { Sbin("fsfreeze -u " + Quoted(at) + " 2>/dev/null; umount " + Quoted(at)); }
};

// Settings that serve a firmware of 1500 bytes (its path in `firmware`).
std::string FirmwareSettings(const TempDir& dir, const NetnsPair& net, std::string* firmware) {
  const e2e::Bytes fw = e2e::Pattern(1500, 14);
  *firmware = dir.File("fw.bin");
  WriteFile(*firmware, std::string(fw.begin(), fw.end()));
  WriteFile(dir.File("SKAVD.conf"), "[General]\nInterface Name=" + net.serverIf() +
                                        "\nFirmware Path=" + *firmware + "\n");
  return dir.File("SKAVD.conf");
}

// One device of `mac`, served `firmware` to the end.
void Serve(const NetnsPair& net, const std::string& mac, const std::string& firmware) {
  Child sim(net.deviceNs(), {SKAV_DEVSIM_PATH, "--if", net.deviceIf(), "--timeout", "40",
                             "--base-mac", mac, "--expect", "firmware=" + firmware});
  EXPECT_EQ(sim.Wait(std::chrono::seconds(45)), 0) << sim.output();
}

// A record on a file system that fills up in the middle of a line, and a
// reload (a stop and a new run) before it has room again: once it has,
// every line whole, none missing, none twice, none glued to the next.
TEST(HeadlessRecord, AFullDiskTearsNoLineAndLosesNone) {
  SKAV_REQUIRE_NETNS();
  if (Shell("command -v jq").empty()) GTEST_SKIP() << "jq is not installed (scripts/install-deps.sh)";
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string disk = dir.File("disk");
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  // Two pages: one for a filler, one for the record, which some eight
  // lines fill; the next line gets only its first part in.
  if (Shell("mount -t tmpfs -o size=8k skav-record " + Quoted(disk) + " && echo ok") != "ok\n")
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const Unmount unmount{disk};
  ASSERT_EQ(Shell("head -c 4096 /dev/zero > " + Quoted(disk + "/filler") + " && echo ok"), "ok\n");
  std::string firmware;
  const std::string record = disk + "/devices.jsonl";
  ServerProcess server(net.serverNs(), FirmwareSettings(dir, net, &firmware), dir,
                       {.args = {"--record", record}});
  const std::string started = "SKAV Server starts running";
  ASSERT_TRUE(server.WaitForOut(started, 30s)) << server.Err();
  Child devices(net.deviceNs(), {SKAV_DEVSIM_PATH, "--if", net.deviceIf(), "--count", "12",
                                 "--timeout", "40", "--expect", "firmware=" + firmware});
  ASSERT_TRUE(devices.started());
  EXPECT_EQ(devices.Wait(std::chrono::seconds(60)), 0) << devices.output();
  ASSERT_TRUE(server.WaitForOut("Fail to write the record file", 20s)) << server.Out();

  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(server.WaitForOut(started, 30s, 2)) << server.Err();
  ASSERT_EQ(unlink((disk + "/filler").c_str()), 0);
  Serve(net, "02:5a:00:00:0b:01", firmware);
  ASSERT_TRUE(WaitUntil([&] { return SplitLines(ReadFile(record)).size() >= 13; }, 15s))
      << ReadFile(record);
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 0) << server.Err();
  const std::string text = ReadFile(record);
  EXPECT_EQ(SplitLines(text).size(), 13u) << text;
  EXPECT_EQ(Shell("jq -r .mac " + Quoted(record) + " | sort -u | wc -l"), "13\n") << text;
}

// A stop while the record's file system is frozen: the line the writer
// cannot get in is shown within the stop's grace, without waiting for the
// file system to answer.
TEST(HeadlessRecord, AStopDoesNotWaitForAFrozenFileSystem) {
  SKAV_REQUIRE_NETNS();
  if (Sbin("which fsfreeze mkfs.ext4 >/dev/null && echo ok") != "ok\n")
    GTEST_SKIP() << "fsfreeze or mkfs.ext4 is not installed";
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string image = dir.File("disk.img");
  const std::string disk = dir.File("disk");
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  if (Sbin("truncate -s 16M " + Quoted(image) + " && mkfs.ext4 -q " + Quoted(image) +
           " && mount -o loop " + Quoted(image) + " " + Quoted(disk) + " && echo ok") != "ok\n")
    GTEST_SKIP() << "cannot mount a loop device here";
  const Unmount unmount{disk};
  const std::string record = disk + "/devices.jsonl";
  std::string firmware;
  ServerProcess server(net.serverNs(), FirmwareSettings(dir, net, &firmware), dir,
                       {.args = {"--record", record}});
  ASSERT_TRUE(server.WaitForOut("SKAV Server starts running", 30s)) << server.Err();
  Serve(net, "02:5a:00:00:0c:01", firmware);
  ASSERT_TRUE(WaitUntil([&] { return SplitLines(ReadFile(record)).size() == 1; }, 15s));
  ASSERT_EQ(Sbin("fsfreeze -f " + Quoted(disk) + " && echo ok"), "ok\n");
  Serve(net, "02:5a:00:00:0c:02", firmware);

  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil(
      [&] { return server.Err().find("\"mac\":\"02-5A-00-00-0C-02\"") != std::string::npos; },
      15s))
      << server.Err();
  // Still frozen: the copy did not wait for the thaw.
  EXPECT_EQ(Sbin("fsfreeze -u " + Quoted(disk) + " && echo ok"), "ok\n");
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 0) << server.Err();
}

}  // namespace

#endif  // SKAV_SERVER_BIN && SKAV_DEVSIM_PATH
