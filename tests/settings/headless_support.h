// skav-server --headless as a child process inside a namespace, its
// standard output and error going to files, and the waits its tests need.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

#ifdef SKAV_SERVER_BIN

/// Polls `done` every 20 ms until it holds or `limit` has passed.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

/// How many times `part` occurs in `text`.
inline int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + part.size()))
    ++n;
  return n;
}

// skav-server started inside a namespace, its output going to files; the
// destructor stops it (by its pid) if a test left it running: SIGTERM
// first, so that it releases what it holds (its interface claim), then
// SIGKILL.
class ServerProcess {
 public:
  struct Options {
    std::vector<std::string> args;  ///< behind --headless --settings FILE
    bool journal = false;           ///< JOURNAL_STREAM names its stdout
    bool stalledOut = false;        ///< stdout a small pipe, unread until ReadOut()
  };

  ServerProcess(const std::string& ns, const std::string& settings, const TempDir& dir)
      : ServerProcess(ns, settings, dir, Options{}) {}
  /// `fileLimit` "SOFT:HARD": run under prlimit --nofile with those limits.
  ServerProcess(const std::string& ns, const std::string& settings, const TempDir& dir,
                const Options& options, const std::string& fileLimit = "")
      : out_(dir.File("stdout")), err_(dir.File("stderr")) {
    std::vector<std::string> argv = {"ip", "netns", "exec", ns};
    // prlimit replaces itself with the server, as ip does: one pid.
    if (!fileLimit.empty()) argv.insert(argv.end(), {"prlimit", "--nofile=" + fileLimit});
    argv.insert(argv.end(), {SKAV_SERVER_BIN, "--headless", "--settings", settings});
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (options.stalledOut && pipe2(pipeFds, O_CLOEXEC) == 0) {
      fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
      pipe_ = pipeFds[0];
    }
    pid_ = fork();
    if (pid_ == 0) {
      const int out = pipe_ >= 0 ? pipeFds[1]
                                 : open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      if (options.journal) {
        struct stat st {};
        fstat(STDOUT_FILENO, &st);
        char stream[64];
        std::snprintf(stream, sizeof stream, "%llu:%llu",
                      static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        setenv("JOURNAL_STREAM", stream, 1);
        // The journal's stream form, also under a service manager.
        unsetenv("INVOCATION_ID");
      } else {
        unsetenv("JOURNAL_STREAM");
      }
      execvp("ip", args.data());
      _exit(127);
    }
    if (pipe_ >= 0) {
      close(pipeFds[1]);
      WriteFile(out_, "");
    }
  }
  /// stalledOut: from now on, what the pipe gets goes to Out().
  void ReadOut() {
    if (pipe_ < 0 || reader_.joinable()) return;
    reader_ = std::thread([fd = pipe_, path = out_] {
      const int file = open(path.c_str(), O_WRONLY | O_APPEND);
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) {
        if (write(file, buf, static_cast<size_t>(n)) != n) break;
      }
      close(file);
    });
  }

  ~ServerProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGTERM);
      if (WaitExit(std::chrono::seconds(5)) == -1 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (pipe_ >= 0) {
      // The server is gone: the reader meets the end of the pipe.
      ReadOut();
      reader_.join();
      close(pipe_);
    }
  }

  pid_t pid() const { return pid_; }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

  /// Waits until standard output holds `part` (`times` times).
  bool WaitForOut(const std::string& part, std::chrono::milliseconds limit,
                  int times = 1) const {
    return WaitUntil([&] { return CountOf(Out(), part) >= times; }, limit);
  }

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
  int pipe_ = -1;
  std::thread reader_;
};

#endif  // SKAV_SERVER_BIN
