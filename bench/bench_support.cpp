// Namespaces, children, scratch files and figures of the benchmarks: see
// bench_support.h.
#include "bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "link/if_list.h"

namespace bench {

namespace {

double CpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

constexpr const char* kNetnsPrefix = "skb";

}  // namespace

bool ParseOptions(int argc, char** argv, std::initializer_list<NumberOption> numbers,
                  bool* verbose) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-v" || a == "--verbose") {
      *verbose = true;
      continue;
    }
    const NumberOption* option = nullptr;
    for (const NumberOption& n : numbers)
      if (a == n.name) option = &n;
    if (option == nullptr || i + 1 >= argc) return false;
    char* end = nullptr;
    const long v = std::strtol(argv[++i], &end, 10);
    if (*end != '\0' || v < option->lo || v > option->hi) return false;
    *option->out = static_cast<int>(v);
  }
  return true;
}

const char* DevsimPath() {
#ifdef SKAV_DEVSIM_PATH
  return SKAV_DEVSIM_PATH;
#else
  return nullptr;
#endif
}

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return gStop != 0; }

Topology::Topology(int devices) {
  if (!NetnsUnavailable().empty() || devices < 1) return;
  SweepStaleNetns(kNetnsPrefix);
  const std::string tag = std::to_string(getpid());
  serverNs_ = NetnsName(kNetnsPrefix, "s");
  serverIf_ = "bs" + tag;
  for (int i = 0; i < devices; ++i) {
    deviceNs_.push_back(NetnsName(kNetnsPrefix, "d" + std::to_string(i)));
    deviceIf_.push_back("bd" + tag + "x" + std::to_string(i));
  }

  std::ostringstream s;
  s << "set -e; ip netns add " << serverNs_ << ";";
  for (const std::string& ns : deviceNs_) s << " ip netns add " << ns << ";";
  if (devices == 1) {
    s << " ip link add " << serverIf_ << " netns " << serverNs_
      << " type veth peer name " << deviceIf_[0] << " netns " << deviceNs_[0]
      << ";";
  } else {
    // A bridge in a namespace of its own stands for the switch of a bench
    // with several devices on one segment.
    switchNs_ = NetnsName(kNetnsPrefix, "w");
    s << " ip netns add " << switchNs_ << ";"
      << " ip -n " << switchNs_ << " link add br0 type bridge;"
      << " ip netns exec " << switchNs_
      << " sysctl -qw net.ipv6.conf.all.disable_ipv6=1;"
      << " ip -n " << switchNs_ << " link set br0 up;"
      << " ip link add " << serverIf_ << " netns " << serverNs_
      << " type veth peer name ws" << tag << " netns " << switchNs_ << ";"
      << " ip -n " << switchNs_ << " link set ws" << tag
      << " master br0 up;";
    for (int i = 0; i < devices; ++i) {
      const std::string port = "wd" + tag + "x" + std::to_string(i);
      s << " ip link add " << deviceIf_[i] << " netns " << deviceNs_[i]
        << " type veth peer name " << port << " netns " << switchNs_ << ";"
        << " ip -n " << switchNs_ << " link set " << port << " master br0 up;";
    }
  }
  s << " for ns in " << serverNs_;
  for (const std::string& ns : deviceNs_) s << " " << ns;
  s << "; do ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1;"
       " ip netns exec $ns sysctl -qw net.ipv6.conf.default.disable_ipv6=1;"
       " ip -n $ns link set lo up; done;"
    << " ip -n " << serverNs_ << " link set " << serverIf_ << " up;";
  for (int i = 0; i < devices; ++i)
    s << " ip -n " << deviceNs_[i] << " link set " << deviceIf_[i] << " up;";
  ok_ = Shell("(" + s.str() + ") >/dev/null 2>&1") == 0;
}

Topology::~Topology() {
  std::string cmd;
  for (const std::string& ns : deviceNs_) cmd += "ip netns del " + ns + " 2>/dev/null; ";
  if (!serverNs_.empty()) cmd += "ip netns del " + serverNs_ + " 2>/dev/null; ";
  if (!switchNs_.empty()) cmd += "ip netns del " + switchNs_ + " 2>/dev/null; ";
  if (!cmd.empty()) Shell(cmd);
}

bool CanRunBesideTftpHpa(const char* program) {
  const std::string why = NetnsUnavailable();
  if (!why.empty()) {
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    return false;
  }
  if (!DevsimPath() ||
      Shell("command -v in.tftpd >/dev/null && command -v tftp >/dev/null") != 0) {
    std::fprintf(stderr, "%s: needs skav-devsim, in.tftpd and tftp\n", program);
    return false;
  }
  return true;
}

bool SetServerAddress(const std::string& ns, const std::string& ifName) {
  InNetns in(ns);
  return in.ok() && L2_SetIfAddr(ifName.c_str(), "10.0.0.1", "255.0.0.0") == 0;
}

std::unique_ptr<Child> StartTftpd(const std::string& ns, const std::string& root) {
  auto tftpd = std::make_unique<Child>(
      ns, std::vector<std::string>{"in.tftpd", "-L", "-4", "-c", "-s", root});
  for (int i = 0; i < 250 && !StopRequested(); ++i) {
    if (Shell("ip netns exec " + ns + " ss -Hlun 'sport = :69' | grep -q :69") == 0) break;
    usleep(20000);
  }
  return tftpd;
}

Child::Child(const std::string& ns, const std::vector<std::string>& argv,
             bool quiet) {
  const std::string& ip = IpPath();
  if (ip.empty()) return;
  std::vector<std::string> full = {"ip", "netns", "exec", ns};
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& a : full) args.push_back(a.data());
  args.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t parent = getpid();
  startedAt_ = Clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to the exec. The child (and
    // the program that "ip netns exec" becomes) gets SIGTERM when the bench
    // dies, even by SIGKILL, so no TFTP server or simulator is left behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int out = fds[1];
    if (quiet) out = open("/dev/null", O_WRONLY);
    dup2(out, 1);
    dup2(out, 2);
    // The bench's capture sockets and other descriptors stay with the bench.
    close_range(3, ~0U, 0);
    execv(ip.c_str(), args.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    return;
  }
  out_ = fds[0];
}

Child::~Child() {
  Stop();
  if (out_ >= 0) close(out_);
}

bool Child::Drain(int ms) {
  if (out_ < 0) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return false;
  }
  pollfd p{out_, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return false;
  char buf[4096];
  const ssize_t n = read(out_, buf, sizeof buf);
  if (n <= 0) {
    // The child closed its end (usually: it exited); from here on the
    // wait for its end sleeps instead of polling a closed pipe.
    close(out_);
    out_ = -1;
    return false;
  }
  output_.append(buf, static_cast<size_t>(n));
  return true;
}

bool Child::Reap(bool block) {
  if (pid_ <= 0 || status_ != kRunning) return true;
  int st = 0;
  rusage use{};
  const pid_t r = wait4(pid_, &st, block ? 0 : WNOHANG, &use);
  if (r != pid_) return false;
  endedAt_ = Clock::now();
  cpuSeconds_ = CpuSeconds(use);
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : kKilled;
  return true;
}

int Child::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const Clock::time_point deadline = Clock::now() + limit;
  while (status_ == kRunning) {
    Drain(1);
    if (Reap(false)) break;
    if (Clock::now() > deadline || StopRequested()) return -1;
  }
  while (Drain(0)) {
  }
  return status_ >= 0 ? status_ : -1;
}

bool Child::Running() { return pid_ > 0 && !Reap(false); }

void Child::Stop() {
  if (pid_ <= 0 || status_ != kRunning) return;
  if (Reap(false)) return;
  kill(pid_, SIGTERM);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
  while (!Reap(false)) {
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      Reap(true);
      break;
    }
    Drain(5);
  }
  while (Drain(0)) {
  }
}

TempDir::TempDir() {
  char name[] = "/tmp/skav-bench-XXXXXX";
  if (mkdtemp(name) && chmod(name, 0777) == 0) path_ = name;
}

TempDir::~TempDir() {
  if (!path_.empty()) Shell("rm -rf '" + path_ + "'");
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  const std::string p = path_ + "/" + name;
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return p;
}

Bytes Pattern(size_t n, uint32_t seed) {
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

bool WaitForCapture(pid_t pid, const std::string& ns, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  const std::string proc = "/proc/" + std::to_string(pid);
  struct stat want {};
  if (stat(("/run/netns/" + ns).c_str(), &want) != 0) return false;
  while (Clock::now() < deadline && !StopRequested()) {
    struct stat have {};
    if (stat((proc + "/ns/net").c_str(), &have) != 0 || have.st_ino != want.st_ino ||
        have.st_dev != want.st_dev) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    std::ifstream in(proc + "/net/packet");
    std::string header, entry;
    if (std::getline(in, header) && std::getline(in, entry) && !entry.empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}

long ProcStatusKb(const char* key, pid_t pid) {
  const std::string path =
      pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
  std::ifstream in(path);
  std::string line;
  const std::string want = std::string(key) + ":";
  while (std::getline(in, line)) {
    if (line.compare(0, want.size(), want) == 0)
      return std::strtol(line.c_str() + want.size(), nullptr, 10);
  }
  return -1;
}

double ProcessCpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return CpuSeconds(use);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  // Less the one opendir held while counting.
  return n - 1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  rank = std::clamp<size_t>(rank, 1, v.size());
  return v[rank - 1];
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", a, b, c);
  return text;
}

std::string Field(const std::string& line, const std::string& key) {
  const std::string k = key + "=";
  size_t at = 0;
  while ((at = line.find(k, at)) != std::string::npos) {
    if (at == 0 || line[at - 1] == ' ') {
      const size_t start = at + k.size();
      return line.substr(start, line.find(' ', start) - start);
    }
    at += k.size();
  }
  return "";
}

std::string LineStartingWith(const std::string& text, const std::string& prefix) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0) return text.substr(at, end - at);
    at = end + 1;
  }
  return "";
}

}  // namespace bench
