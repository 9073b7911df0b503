// Network namespaces for integration tests: see netns.h.
#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::atomic<int> gSerial{0};

int Shell(const std::string& command) {
  int rc = std::system(command.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Namespaces left by a test program that was killed: their names carry the
// pid of their creator, so remove those whose creator is gone.
void SweepStale() {
  FILE* p = popen("ip netns list 2>/dev/null", "r");
  if (!p) return;
  char line[256];
  while (fgets(line, sizeof line, p)) {
    int pid = 0, serial = 0;
    char side = 0;
    if (std::sscanf(line, "skav%c%d_%d", &side, &pid, &serial) == 3 &&
        pid > 0 && kill(pid, 0) != 0) {
      std::string name = std::string(line).substr(0, std::string(line).find_first_of(" \n"));
      Shell("ip netns del " + name + " 2>/dev/null");
    }
  }
  pclose(p);
}

}  // namespace

std::string NetnsPair::Unavailable() {
  if (geteuid() != 0)
    return "needs root to create network namespaces (run as root, as CI does)";
  if (Shell("command -v ip >/dev/null 2>&1") != 0)
    return "needs the 'ip' command (iproute2)";
  return "";
}

NetnsPair::NetnsPair() {
  if (!Unavailable().empty()) return;
  SweepStale();
  int pid = getpid();
  int n = ++gSerial;
  std::string tag = std::to_string(pid) + "_" + std::to_string(n);
  serverNs_ = "skavs" + tag;
  deviceNs_ = "skavd" + tag;
  // Interface names are limited to 15 characters.
  std::string shortTag = std::to_string(pid % 100000) + "x" + std::to_string(n);
  serverIf_ = "vs" + shortTag;
  deviceIf_ = "vd" + shortTag;
  std::string script =
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

std::string NetnsPair::ExecOutput(const std::string& ns,
                                  const std::string& command) {
  std::string full = "ip netns exec " + ns + " sh -c '" + command + "'";
  FILE* p = popen(full.c_str(), "r");
  if (!p) return "";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
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
