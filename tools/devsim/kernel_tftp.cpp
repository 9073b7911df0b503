// Interface MAC, device address and file sizes for kernel TFTP mode.
#include "devsim/kernel_tftp.h"

#include <fcntl.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

std::string Dotted(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) +
         "." + std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
}

// Runs `ip` with the given arguments (no shell); its exit status, or -1.
int RunIp(std::vector<std::string> args, bool quiet) {
  args.insert(args.begin(), "ip");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet)
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool InterfaceMac(const std::string& ifName, uint8_t mac[6],
                  std::string* error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq req{};
  std::strncpy(req.ifr_name, ifName.c_str(), IFNAMSIZ - 1);
  const bool ok = ioctl(fd, SIOCGIFHWADDR, &req) == 0;
  if (!ok) *error = "no MAC for " + ifName + ": " + std::strerror(errno);
  close(fd);
  if (ok) std::memcpy(mac, req.ifr_hwaddr.sa_data, 6);
  return ok;
}

bool AssignKernelAddress(const std::string& ifName, uint32_t ipHost,
                         std::string* error) {
  const int rc =
      RunIp({"addr", "replace", Dotted(ipHost) + "/8", "dev", ifName}, false);
  if (rc == 0) return true;
  *error = "cannot put " + Dotted(ipHost) + "/8 on " + ifName +
           " (ip exited with " + std::to_string(rc) + ")";
  return false;
}

void ReleaseKernelAddress(const std::string& ifName, uint32_t ipHost) {
  RunIp({"addr", "del", Dotted(ipHost) + "/8", "dev", ifName}, true);
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}
