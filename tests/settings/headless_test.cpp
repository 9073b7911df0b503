// skav-server --headless as a process in a network namespace of its own:
// a failed start exits 1 after its message, a run ends with exit 0 on
// SIGTERM, and standard output carries the Debug Window bytes, a line at a
// time whatever a device sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "headless_support.h"
#include "integration/e2e_support.h"
#include "support/netns.h"

#ifdef SKAV_SERVER_BIN

namespace {

// "Sun Dec  6 07:51:27 2026": weekday, month, day right-aligned in two
// characters, time, year.
bool IsAsctime(const std::string& t) {
  const char* shape = "Aaa Aaa _9 99:99:99 9999";
  if (t.size() != std::strlen(shape)) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    switch (shape[i]) {
      case 'A': if (c < 'A' || c > 'Z') return false; break;
      case 'a': if (c < 'a' || c > 'z') return false; break;
      case '9': if (c < '0' || c > '9') return false; break;
      case '_': if (c != ' ' && (c < '1' || c > '3')) return false; break;
      default: if (c != shape[i]) return false;
    }
  }
  return true;
}

TEST(Headless, RunsUntilSigtermThenStopsAndExitsZero) {
  SKAV_REQUIRE_NETNS();
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string settings = dir.File("SKAVD.conf");
  const std::string log = dir.File("log.txt");
  WriteFile(settings, "[General]\nInterface Name=" + net.serverIf() +
                          "\nRegion=3\nLog Enable=1\nLog Path=" + log + "\n");

  ServerProcess server(net.serverNs(), settings, dir);
  const std::string started = "SKAV Server starts running (region: 3)...\r\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (server.Out().find(started) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(server.Out(), started) << server.Err();

  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 0) << server.Err();
  EXPECT_EQ(server.Out(), started);
  const std::string text = ReadFile(log);
  const std::string head = "\r\n########## [";
  const std::string tail = "] Firmware Reworking starts ##########\r\n";
  ASSERT_EQ(text.size(), head.size() + 24 + tail.size()) << text;
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_TRUE(IsAsctime(text.substr(head.size(), 24))) << text;
  EXPECT_EQ(text.substr(head.size() + 24), tail);
}

// A start that cannot go on: the reason in plain words on standard error,
// after it the step's own message, "SKAV Server is stopped." on standard
// output, and exit status 1, without waiting on the file it was given.
TEST(Headless, AFailedStartExitsOneAfterItsMessage) {
  SKAV_REQUIRE_NETNS();
  struct Case {
    const char* name;
    std::function<std::string(const TempDir&, const NetnsPair&)> setUp;  // the firmware path
    std::function<std::string(const std::string& path, const NetnsPair&)> expected;
  };
  const Case cases[] = {
      {"a firmware file that does not exist",
       [](const TempDir& dir, const NetnsPair&) { return dir.File("missing.bin"); },
       [](const std::string& path, const NetnsPair&) {
         return "Unable to load the firmware file '" + path +
                "' to memory (Fail to open the file: No such file or directory)\n";
       }},
      {"one byte beyond one transfer",
       [](const TempDir& dir, const NetnsPair&) {
         const std::string path = dir.File("big.bin");
         WriteFile(path, "");
         EXPECT_EQ(truncate(path.c_str(), 33553920), 0);
         return path;
       },
       [](const std::string& path, const NetnsPair&) {
         return "Unable to load the firmware file '" + path + "' to memory (The file '" +
                path + "' is 33553920 bytes long; one TFTP transfer carries at most "
                "33553919 bytes)\n";
       }},
      {"a FIFO nobody writes to",
       [](const TempDir& dir, const NetnsPair&) {
         const std::string path = dir.File("fifo");
         EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
         return path;
       },
       [](const std::string& path, const NetnsPair&) {
         return "Unable to load the firmware file '" + path +
                "' to memory (Fail to open the file: not a regular file but a named pipe "
                "(FIFO))\n";
       }},
      {"the server address put there by hand",
       [](const TempDir&, const NetnsPair& net) {
         EXPECT_EQ(NetnsPair::Exec(net.serverNs(), "ip addr add 10.0.0.1/16 dev " + net.serverIf()),
                   0);
         return std::string();
       },
       [](const std::string&, const NetnsPair& net) {
         const std::string& i = net.serverIf();
         return "Unable to set IP address '10.0.0.1/255.0.0.0' to the interface '" + i +
                "': 10.0.0.1/16 is on '" + i + "' already, put there by another program, and "
                "the server needs 10.0.0.1/8 there; remove it or choose another interface\n";
       }},
  };
  for (const Case& k : cases) {
    NetnsPair net;
    ASSERT_TRUE(net.ok());
    TempDir dir;
    const std::string firmware = k.setUp(dir, net);
    const std::string settings = dir.File("SKAVD.conf");
    WriteFile(settings, "[General]\nInterface Name=" + net.serverIf() +
                            "\nFirmware Path=" + firmware + "\n");
    ServerProcess server(net.serverNs(), settings, dir);
    EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 1) << k.name << "\n" << server.Err();
    EXPECT_EQ(server.Out(), "SKAV Server is stopped.\r\n") << k.name;
    const std::string err = server.Err();
    const std::string want = k.expected(firmware, net);
    EXPECT_EQ(err.substr(err.size() < want.size() ? 0 : err.size() - want.size()), want)
        << k.name << "\n" << err;
  }

  // A link that is there but is no port to capture on: refused in the
  // runner's own words, none of the window's.
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string settings = dir.File("SKAVD.conf");
  WriteFile(settings, "[General]\nInterface Name=lo\n");
  ServerProcess server(net.serverNs(), settings, dir);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 1) << server.Err();
  EXPECT_EQ(server.Err(), "skav-server: the network interface 'lo' that the settings name is no "
                          "Ethernet port the server can capture on\n");
}

#ifdef SKAV_DEVSIM_PATH

// Every line the headless program writes, split at its CR LF; the text
// after the last CR LF (a line still being written) is left out.
std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(out.substr(at, end - at));
  return lines;
}

// How every line of the server's Debug Window output may begin.
bool IsLineStart(const std::string& line) {
  static const char* const starts[] = {"[", "New client: ", "SKAV Server ",
                                       " Uploading aborts, go to 'Active' state",
                                       "Loaded firmware from '", "Loaded string table 0"};
  for (const char* s : starts)
    if (line.rfind(s, 0) == 0) return true;
  return false;
}

TEST(Headless, ADevicesOverlongErrorTextCannotSwallowTheNextLine) {
  SKAV_REQUIRE_NETNS();
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string firmware = dir.File("fw.bin");
  WriteFile(firmware, std::string(3000, 'F'));
  const std::string settings = dir.File("SKAVD.conf");
  WriteFile(settings, "[General]\nInterface Name=" + net.serverIf() + "\nFirmware Path=" +
                          firmware + "\n");
  ServerProcess server(net.serverNs(), settings, dir);
  auto waitOut = [&server](const std::string& part) {
    return server.WaitForOut(part, std::chrono::seconds(30));
  };
  ASSERT_TRUE(waitOut("SKAV Server starts running")) << server.Err();

  // 1,400 bytes of text where the device's TFTP side should acknowledge
  // block 1; a second device comes while the first one's line goes out.
  std::string text;
  for (int i = 0; i < 1400; ++i) text += static_cast<char>('A' + i % 26);
  e2e::Child talker(net.deviceNs(),
                    {SKAV_DEVSIM_PATH, "--if", net.deviceIf(), "--timeout", "30", "--base-mac",
                     "02:5a:00:00:a0:00", "--tftp-error", "1", "--tftp-error-text", text});
  ASSERT_TRUE(talker.started());
  ASSERT_TRUE(waitOut("RX TFTP Error (3): ")) << server.Out();
  e2e::Child next(net.deviceNs(), {SKAV_DEVSIM_PATH, "--if", net.deviceIf(), "--timeout", "30",
                                   "--base-mac", "02:5a:00:00:b0:00"});
  ASSERT_TRUE(next.started());
  EXPECT_EQ(talker.Wait(std::chrono::seconds(40)), 0) << talker.output();
  EXPECT_EQ(next.Wait(std::chrono::seconds(40)), 0) << next.output();
  ASSERT_TRUE(waitOut("[02-5a-00-00-b0-00] TFTP uploading done")) << server.Out();
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 0) << server.Err();

  // The device's text: cut with its mark to what the line holds beside its
  // own words, which all stay.
  const std::string out = server.Out();
  const std::string head = "[02-5a-00-00-a0-00] RX TFTP Error (3): ";
  const std::string line = head + text.substr(0, 412) +
                           "\xe2\x80\xa6\r\n Uploading aborts, go to 'Active' state\r\n";
  const size_t at = out.find(head);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at, line.size()), line);
  // Whatever comes next starts a line of its own, and so does every line:
  // the other device's among them.
  EXPECT_TRUE(IsLineStart(out.substr(at + line.size(), 40)))
      << out.substr(at + line.size(), 80);
  for (const std::string& line : Lines(out)) EXPECT_TRUE(IsLineStart(line)) << line;
  EXPECT_NE(out.find("\r\nNew client: 02-5a-00-00-b0-00, assigned IP: "), std::string::npos)
      << out;
}

#endif  // SKAV_DEVSIM_PATH

}  // namespace

#endif  // SKAV_SERVER_BIN
