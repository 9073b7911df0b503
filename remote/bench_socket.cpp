// Naming and finding the bench sockets of this namespace.
#include "remote/bench_socket.h"

#include <dirent.h>
#include <errno.h>

#include <algorithm>
#include <cstring>

#include "link/if_claim.h"

namespace remote {

namespace {

constexpr char kSocketExt[] = ".sock";

}  // namespace

bool BenchSocketPath(const std::string& ifname, std::string* path, std::string* why) {
  return L2_NamespaceFile(ifname.c_str(), kSocketExt, path, why);
}

bool ListBenchSockets(std::vector<std::string>* interfaces, std::string* why) {
  interfaces->clear();
  std::string tag;
  if (!L2_NamespaceTag(&tag, why)) return false;
  const std::string dir = L2_ClaimDir();
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    const int err = errno;
    // No folder: no engine has ever listened here since the last boot.
    if (err == ENOENT) return true;
    *why = "cannot read " + dir + ": " + std::strerror(err);
    if (err == EACCES) *why += " (it belongs to root and the group 'skav': ask to be added)";
    return false;
  }
  const std::string ending = tag + kSocketExt;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= ending.size() ||
        name.compare(name.size() - ending.size(), ending.size(), ending) != 0) {
      continue;
    }
    interfaces->push_back(name.substr(0, name.size() - ending.size()));
  }
  closedir(d);
  std::sort(interfaces->begin(), interfaces->end());
  return true;
}

}  // namespace remote
