// skav-server --headless as a child process inside a network namespace,
// under descriptor limits of the test's choosing, its standard output and
// error going to files (so that a long run never blocks on a full pipe),
// and its threads and descriptors counted from /proc.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "netns/netns_pair.h"
#include "support/server_run.h"

namespace headless {

/// The path of program `name` along PATH, empty when there is none.
inline std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

/// Runs `ip netns exec NS prlimit --nofile=SOFT:HARD SERVER --headless
/// --settings FILE`; each program replaces itself with the next, so the
/// pid is the server's. Killed (by its pid) if a test leaves it running.
/// Usable for any headless run: the limits are the test's to choose.
class Process {
 public:
  Process(const std::string& server, const std::string& ns, const std::string& settings,
          const std::string& outFile, const std::string& errFile, int softFiles,
          int hardFiles)
      : out_(outFile), err_(errFile) {
    const std::string limit =
        "--nofile=" + std::to_string(softFiles) + ":" + std::to_string(hardFiles);
    // Looked up before the fork: the child may only exec.
    const std::string ip = IpPath();
    const std::string prlimit = FindProgram("prlimit");
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      close(out);
      close(err);
      execl(ip.c_str(), "ip", "netns", "exec", ns.c_str(), prlimit.c_str(), limit.c_str(),
             server.c_str(), "--headless", "--settings", settings.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Process() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  std::string Out() const { return ReadText(out_); }
  std::string Err() const { return ReadText(err_); }
  int Threads() const { return server_run::ProcEntries("/proc/" + std::to_string(pid_) + "/task"); }
  int Descriptors() const { return server_run::ProcEntries("/proc/" + std::to_string(pid_) + "/fd"); }

  /// SIGTERM, then the exit status; -1 when it did not end within `limit`
  /// (or ended by a signal).
  int Stop(std::chrono::seconds limit) {
    if (pid_ <= 0 || reaped_) return -1;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
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

}  // namespace headless
