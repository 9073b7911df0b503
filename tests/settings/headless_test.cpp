// skav-server --headless as a process in a network namespace of its own:
// a failed start exits 1 after its message, a run ends with exit 0 on
// SIGTERM, and standard output carries the Debug Window bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "headless_support.h"
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

TEST(Headless, AFailedStartExitsOneAfterItsMessage) {
  SKAV_REQUIRE_NETNS();
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string settings = dir.File("SKAVD.conf");
  const std::string firmware = dir.File("missing.bin");
  WriteFile(settings, "[General]\nInterface Name=" + net.serverIf() +
                          "\nFirmware Path=" + firmware + "\n");

  ServerProcess server(net.serverNs(), settings, dir);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(30)), 1) << server.Err();
  EXPECT_EQ(server.Out(), "SKAV Server is stopped.\r\n");
  EXPECT_NE(server.Err().find("Unable to load the firmware file '" + firmware +
                              "' to memory\n"),
            std::string::npos)
      << server.Err();
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

}  // namespace

#endif  // SKAV_SERVER_BIN
