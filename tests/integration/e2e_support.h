// Helpers of the end-to-end tests: child processes started inside a
// namespace (the device simulator, a real TFTP server) and scratch files.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

using Bytes = std::vector<uint8_t>;

/// A program run as `ip netns exec NS PROGRAM ARGS...`, with its standard
/// output and error collected. `ip netns exec` replaces itself with the
/// program, so the pid is the program's own.
class Child {
 public:
  Child(const std::string& ns, const std::vector<std::string>& argv) {
    std::vector<std::string> full = {"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : full) args.push_back(a.data());
    args.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    if (posix_spawnp(&pid_, "ip", &actions, nullptr, args.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && status_ == kRunning) {
      kill(pid_, SIGTERM);
      Wait(std::chrono::milliseconds(3000));
      if (status_ == kRunning) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (out_ >= 0) close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  /// Collects output until the child exits or `limit` passes. Returns the
  /// exit status, or -1 while it still runs (or was killed by a signal).
  int Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (status_ == kRunning) {
      Drain(20);
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : kKilled;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
    }
    while (Drain(0)) {
    }
    return status_ >= 0 ? status_ : -1;
  }

  /// Collects output until it holds `text` (true), or the child has ended
  /// or `limit` has passed without it (false).
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
      if (status_ != kRunning || std::chrono::steady_clock::now() > deadline) return false;
      Wait(std::chrono::milliseconds(20));
    }
    return true;
  }

  /// Ends the child by its pid (SIGTERM) and waits for it.
  void Stop() {
    if (pid_ > 0 && status_ == kRunning) kill(pid_, SIGTERM);
    Wait(std::chrono::milliseconds(3000));
  }

  const std::string& output() const { return output_; }

 private:
  static constexpr int kRunning = -100;
  static constexpr int kKilled = -2;

  bool Drain(int ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = kRunning;
  std::string output_;
};

/// A scratch directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/skav-e2e-XXXXXX";
    if (mkdtemp(name)) path_ = name;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

  /// Writes `bytes` to a file of this directory; returns its path.
  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::string p = path_ + "/" + name;
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::string path_;
};

/// Bytes that differ from block to block, so that a block sent twice or
/// out of place shows.
inline Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<uint8_t>(x);
  }
  return b;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)),
               std::istreambuf_iterator<char>());
}

/// The line of `text` that starts with `prefix`, or empty.
inline std::string LineStartingWith(const std::string& text,
                                    const std::string& prefix) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0)
      return text.substr(at, end - at);
    at = end + 1;
  }
  return "";
}

}  // namespace e2e
