// Network managers found from their runtime state: see port_manager.h.
#include "link/port_manager.h"

#include <fstream>
#include <string>

namespace {

std::string Trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// The value of `key` in `file` (KEY=value lines; in a keyfile, only those
// of `section`, or of any section when it is empty); empty when absent.
bool ReadKey(const std::string& file, const std::string& section, const std::string& key,
             std::string* value) {
  std::ifstream in(file);
  if (!in) return false;
  std::string line, current;
  bool found = false;
  while (std::getline(in, line)) {
    line = Trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || (!section.empty() && current != section)) continue;
    if (Trimmed(line.substr(0, eq)) != key) continue;
    *value = Trimmed(line.substr(eq + 1));
    found = true;
  }
  return found;
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

L2_PortManagerFacts L2_FindPortManager(int ifindex, const std::string& runDir) {
  L2_PortManagerFacts facts;
  const std::string index = std::to_string(ifindex);

  // NetworkManager writes a keyfile per device it knows and removes its
  // run folder's pid file when it ends, so a device file alone may be a
  // leftover of a manager that has stopped.
  std::string managed;
  if (Exists(runDir + "/NetworkManager/NetworkManager.pid") &&
      ReadKey(runDir + "/NetworkManager/devices/" + index, "device", "managed", &managed) &&
      managed == "true") {
    facts.manager = L2_PortManager::kNetworkManager;
    return facts;
  }

  // systemd-networkd keeps one file per link it has seen, with the state
  // of its own management of it; "unmanaged" is a link it leaves alone.
  std::string state;
  if (Exists(runDir + "/systemd/netif/state") &&
      ReadKey(runDir + "/systemd/netif/links/" + index, "", "ADMIN_STATE", &state) &&
      !state.empty() && state != "unmanaged") {
    facts.manager = L2_PortManager::kNetworkd;
    ReadKey(runDir + "/systemd/netif/links/" + index, "", "NETWORK_FILE", &facts.networkFile);
  }
  return facts;
}

const char* L2_PortManagerName(const L2_PortManagerFacts& facts) {
  switch (facts.manager) {
    case L2_PortManager::kNetworkManager:
      return "NetworkManager";
    case L2_PortManager::kNetworkd:
      return "systemd-networkd";
    case L2_PortManager::kNone:
      break;
  }
  return "a network manager or DHCP client";
}

std::string L2_PortManagerRemedy(const L2_PortManagerFacts& facts, const std::string& ifname) {
  switch (facts.manager) {
    case L2_PortManager::kNetworkManager:
      return "put the two lines \"[keyfile]\" and \"unmanaged-devices=interface-name:" + ifname +
             "\" in a file under /etc/NetworkManager/conf.d/ and restart NetworkManager "
             "(\"nmcli device set " + ifname + " managed no\" lasts only until it restarts)";
    case L2_PortManager::kNetworkd: {
      // A path too long for one line is left out rather than cut.
      const std::string before = facts.networkFile.empty() || facts.networkFile.size() > 120
                                     ? std::string("the one that matches it now")
                                     : facts.networkFile;
      return "add a .network file under /etc/systemd/network/ that sorts before " + before +
             ", with the lines \"[Match]\", \"Name=" + ifname +
             "\", \"[Link]\" and \"Unmanaged=yes\", then run \"networkctl reload\"";
    }
    case L2_PortManager::kNone:
      break;
  }
  return "configure it to leave the interface '" + ifname + "' alone";
}
