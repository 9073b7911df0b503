// Namespaces, the veth pair between them, and moving a thread in: see
// netns_pair.h.
#include "netns/netns_pair.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> gSerial{0};

}  // namespace

int Shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ShellOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string NetnsUnavailable() {
  if (geteuid() != 0) return "needs root to create network namespaces (run it as root)";
  if (Shell("command -v ip >/dev/null 2>&1") != 0) return "needs the 'ip' command (iproute2)";
  return "";
}

const std::string& IpPath() {
  static const std::string path = [] {
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
      const std::string p = std::string(dir) + "/ip";
      if (access(p.c_str(), X_OK) == 0) return p;
    }
    return std::string();
  }();
  return path;
}

std::string NetnsName(const std::string& prefix, const std::string& role) {
  return prefix + std::to_string(getpid()) + "-" + role;
}

void SweepStaleNetns(const std::string& prefix) {
  FILE* p = popen("ip netns list 2>/dev/null", "r");
  if (!p) return;
  char line[256];
  while (std::fgets(line, sizeof line, p)) {
    std::string name(line);
    name = name.substr(0, name.find_first_of(" \n"));
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // Only "<prefix><pid>-...": another program's prefix may start alike.
    const char* rest = name.c_str() + prefix.size();
    char* end = nullptr;
    const long pid = std::strtol(rest, &end, 10);
    if (end == rest || *end != '-' || pid <= 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      Shell("ip netns del " + name + " 2>/dev/null");
  }
  pclose(p);
}

NetnsPair::NetnsPair(const std::string& prefix) {
  if (!NetnsUnavailable().empty()) return;
  SweepStaleNetns(prefix);
  const int n = ++gSerial;
  serverNs_ = NetnsName(prefix, "s" + std::to_string(n));
  deviceNs_ = NetnsName(prefix, "d" + std::to_string(n));
  // Interface names hold at most 15 characters; they only have to differ
  // within the namespaces, but differing across the machine eases reading
  // a capture.
  const std::string shortTag = std::to_string(getpid() % 100000) + "x" + std::to_string(n);
  serverIf_ = "vs" + shortTag;
  deviceIf_ = "vd" + shortTag;
  const std::string script =
      "set -e; ip netns add " + serverNs_ + "; ip netns add " + deviceNs_ +
      "; ip link add " + serverIf_ + " netns " + serverNs_ + " type veth peer name " +
      deviceIf_ + " netns " + deviceNs_ + ";"
      " for ns in " + serverNs_ + " " + deviceNs_ + "; do"
      "  ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1;"
      "  ip netns exec $ns sysctl -qw net.ipv6.conf.default.disable_ipv6=1;"
      "  ip -n $ns link set lo up; done;"
      " ip -n " + serverNs_ + " link set " + serverIf_ + " up;"
      " ip -n " + deviceNs_ + " link set " + deviceIf_ + " up";
  ok_ = Shell("(" + script + ") >/dev/null 2>&1") == 0;
}

NetnsPair::~NetnsPair() {
  if (!serverNs_.empty()) Shell("ip netns del " + serverNs_ + " 2>/dev/null");
  if (!deviceNs_.empty()) Shell("ip netns del " + deviceNs_ + " 2>/dev/null");
}

int NetnsPair::Exec(const std::string& ns, const std::string& command) {
  return Shell("ip netns exec " + ns + " sh -c '" + command + "'");
}

std::string NetnsPair::ExecOutput(const std::string& ns, const std::string& command) {
  return ShellOutput("ip netns exec " + ns + " sh -c '" + command + "'");
}

InNetns::InNetns(const std::string& ns) {
  oldFd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (oldFd_ >= 0 && fd >= 0) ok_ = setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) close(fd);
}

InNetns::~InNetns() {
  if (oldFd_ >= 0) {
    if (ok_) setns(oldFd_, CLONE_NEWNET);
    close(oldFd_);
  }
}
