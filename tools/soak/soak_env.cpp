// Namespaces, child processes, scratch files and readings of this process
// for the soak: see soak_env.h.
#include "soak/soak_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
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

// Namespaces left by a soak that was killed: their names carry the pid of
// their creator, so remove those whose creator is gone.
void SweepStale() {
  FILE* p = popen("ip netns list 2>/dev/null", "r");
  if (!p) return;
  char line[256];
  while (fgets(line, sizeof line, p)) {
    int pid = 0;
    char side = 0;
    if (std::sscanf(line, "skavsoak%c%d", &side, &pid) == 2 && pid > 0 &&
        kill(pid, 0) != 0) {
      std::string name(line);
      name = name.substr(0, name.find_first_of(" \n"));
      Shell("ip netns del " + name + " 2>/dev/null");
    }
  }
  pclose(p);
}

// The path of `ip`, found before any fork: the child may only exec.
std::string FindIp() {
  for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
    std::string path = std::string(dir) + "/ip";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "ip";
}

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

int Shell(const std::string& command) {
  int rc = std::system(command.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ShellOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string Netns::Unavailable() {
  if (geteuid() != 0)
    return "needs root to create network namespaces (run it as root, or "
           "through scripts/soak.sh or scripts/stop-under-load.sh)";
  if (Shell("command -v ip >/dev/null 2>&1") != 0)
    return "needs the 'ip' command (iproute2)";
  return "";
}

Netns::Netns() {
  if (!Unavailable().empty()) return;
  SweepStale();
  const std::string pid = std::to_string(getpid());
  serverNs_ = "skavsoakS" + pid;
  deviceNs_ = "skavsoakD" + pid;
  serverIf_ = "ssk" + pid;  // interface names hold at most 15 characters
  deviceIf_ = "dsk" + pid;
  const std::string script =
      "set -e; ip netns add " + serverNs_ + "; ip netns add " + deviceNs_ +
      "; ip link add " + serverIf_ + " netns " + serverNs_ +
      " type veth peer name " + deviceIf_ + " netns " + deviceNs_ + ";"
      " for ns in " + serverNs_ + " " + deviceNs_ + "; do"
      "  ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1;"
      "  ip netns exec $ns sysctl -qw net.ipv6.conf.default.disable_ipv6=1;"
      "  ip -n $ns link set lo up; done;"
      " ip -n " + serverNs_ + " link set " + serverIf_ + " up;"
      " ip -n " + deviceNs_ + " link set " + deviceIf_ + " up";
  ok_ = Shell("(" + script + ") >/dev/null 2>&1") == 0;
}

Netns::~Netns() {
  if (!serverNs_.empty()) Shell("ip netns del " + serverNs_ + " 2>/dev/null");
  if (!deviceNs_.empty()) Shell("ip netns del " + deviceNs_ + " 2>/dev/null");
}

InNetns::InNetns(const std::string& ns) {
  oldFd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (oldFd_ >= 0 && fd >= 0) ok_ = setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) close(fd);
}

InNetns::~InNetns() {
  if (oldFd_ >= 0) {
    if (ok_) setns(oldFd_, CLONE_NEWNET);
    close(oldFd_);
  }
}

Child::Child(const std::string& ns, const std::vector<std::string>& argv,
             const std::string& outputPath)
    : outputPath_(outputPath) {
  static const std::string ip = FindIp();
  std::vector<std::string> full = {ip, "netns", "exec", ns};
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
