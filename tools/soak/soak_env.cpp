// Child processes, scratch files and readings of this process for the
// soak: see soak_env.h.
#include "soak/soak_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace soak {

namespace {

std::atomic<bool> gStop{false};

void OnStopSignal(int) { gStop.store(true); }

}  // namespace

double MsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

bool StopRequested() { return gStop.load(); }

Child::Child(const std::string& ns, const std::vector<std::string>& argv,
             const std::string& outputPath)
    : outputPath_(outputPath) {
  std::vector<std::string> full = {IpPath(), "netns", "exec", ns};
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& a : full) args.push_back(a.data());
  args.push_back(nullptr);
  const int out = open(outputPath.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return;
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to the exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(out, 1);
    dup2(out, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out);
}

Child::~Child() {
  if (pid_ > 0 && status_ == -1 && signal_ == 0) Terminate();
}

bool Child::Poll() {
  if (pid_ <= 0) return true;
  if (status_ != -1 || signal_ != 0) return true;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
  if (WIFEXITED(st)) {
    status_ = WEXITSTATUS(st);
  } else {
    status_ = -2;
    signal_ = WIFSIGNALED(st) ? WTERMSIG(st) : -1;
  }
  return true;
}

bool Child::Wait(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!Poll()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Child::Terminate(int graceMs) {
  if (Poll()) return;
  kill(pid_, SIGTERM);
  if (Wait(graceMs)) return;
  kill(pid_, SIGKILL);
  Wait(10000);
}

std::string Child::Output() const {
  std::ifstream in(outputPath_, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
  char name[] = "/tmp/skav-soak-XXXXXX";
  if (mkdtemp(name)) path_ = name;
}

TempDir::~TempDir() {
  if (!path_.empty() && !keep_) Shell("rm -rf '" + path_ + "'");
}

std::string TempDir::Write(const std::string& name,
                           const std::vector<uint8_t>& bytes) const {
  const std::string p = path_ + "/" + name;
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return out ? p : "";
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<uint8_t>(x);
  }
  return b;
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

ProcStats ReadProcStats() {
  ProcStats s;
  s.threads = ThreadCount();
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char target[64] = "";
      const std::string path = std::string("/proc/self/fd/") + e->d_name;
      const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      if (n > 0 && std::strncmp(target, "socket:", 7) == 0) ++s.sockets;
    }
    closedir(d);
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) s.hwmKiB = std::atol(line.c_str() + 6);
  }
  return s;
}

std::vector<std::string> AddressEntries(const std::string& ns,
                                        const std::string& ifName) {
  std::vector<std::string> out;
  std::istringstream lines(
      ShellOutput("ip -n " + ns + " -4 -o addr show dev " + ifName + " 2>/dev/null"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string w, prev;
    while (words >> w) {
      if (prev == "inet") out.push_back(w);
      prev = w;
    }
  }
  return out;
}

int UdpSocketsIn(const std::string& ns) {
  std::istringstream lines(
      ShellOutput("ip netns exec " + ns + " ss -Huan 2>/dev/null"));
  std::string line;
  int n = 0;
  while (std::getline(lines, line))
    if (!line.empty()) ++n;
  return n;
}

}  // namespace soak
