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

#include "support/netns.h"
#include "test_util.h"

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

// skav-server started inside a namespace, its output going to files; the
// destructor kills it (by its pid) if a test left it running.
class ServerProcess {
 public:
  ServerProcess(const std::string& ns, const std::string& settings, const TempDir& dir)
      : out_(dir.File("stdout")), err_(dir.File("stderr")) {
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      execlp("ip", "ip", "netns", "exec", ns.c_str(), SKAV_SERVER_BIN, "--headless",
             "--settings", settings.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ServerProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

  /// Exit status, or -1 when it did not end within `limit` (or by a signal).
  int WaitExit(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  std::string out_, err_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

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
