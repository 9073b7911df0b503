// Network managers found from their own answers and state: see
// port_manager.h.
#include "link/port_manager.h"

#include <systemd/sd-bus.h>

#include <fstream>
#include <memory>
#include <string>

namespace {

std::string Trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// The value of `key` in `file` (KEY=value lines); false when absent.
bool ReadKey(const std::string& file, const std::string& key, std::string* value) {
  std::ifstream in(file);
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    if (Trimmed(line.substr(0, eq)) != key) continue;
    *value = Trimmed(line.substr(eq + 1));
    found = true;
  }
  return found;
}

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};

// NetworkManager's own answer for the device of that name; no answer (no
// bus, no NetworkManager on it, no such device) is no.
bool NetworkManagerManages(const std::string& ifname, const std::string& busAddress) {
  constexpr char kService[] = "org.freedesktop.NetworkManager";
  sd_bus* raw = nullptr;
  if (busAddress.empty()) {
    if (sd_bus_open_system(&raw) < 0) return false;
  } else if (sd_bus_new(&raw) < 0) {
    return false;
  }
  std::unique_ptr<sd_bus, BusUnref> bus(raw);
  if (!busAddress.empty() &&
      (sd_bus_set_address(raw, busAddress.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
       sd_bus_start(raw) < 0))
    return false;
  // A bus that does not answer must not hold up the Start.
  sd_bus_set_method_call_timeout(raw, 1000 * 1000);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(raw, kService, "/org/freedesktop/NetworkManager", kService,
                             "GetDeviceByIpIface", &error, &reply, "s", ifname.c_str());
  sd_bus_error_free(&error);
  if (r < 0) return false;
  std::unique_ptr<sd_bus_message, MessageUnref> owned(reply);
  const char* device = nullptr;
  if (sd_bus_message_read(reply, "o", &device) < 0 || device == nullptr) return false;
  int managed = 0;
  r = sd_bus_get_property_trivial(raw, kService, device, "org.freedesktop.NetworkManager.Device",
                                  "Managed", &error, 'b', &managed);
  sd_bus_error_free(&error);
  return r >= 0 && managed != 0;
}

}  // namespace

L2_PortManagerFacts L2_FindPortManager(int ifindex, const std::string& ifname,
                                       const std::string& runDir,
                                       const std::string& busAddress) {
  L2_PortManagerFacts facts;
  if (NetworkManagerManages(ifname, busAddress)) {
    facts.manager = L2_PortManager::kNetworkManager;
    return facts;
  }
  // systemd-networkd keeps one file per link it has seen, with the state
  // of its own management of it, and removes them when it stops.
  const std::string links = runDir + "/systemd/netif/links/" + std::to_string(ifindex);
  std::string state;
  if (ReadKey(links, "ADMIN_STATE", &state) && !state.empty() && state != "unmanaged") {
    facts.manager = L2_PortManager::kNetworkd;
    ReadKey(links, "NETWORK_FILE", &facts.networkFile);
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
      // It reads only the files of that folder whose names end in .conf.
      return "put the two lines \"[keyfile]\" and \"unmanaged-devices=interface-name:" + ifname +
             "\" in a file under /etc/NetworkManager/conf.d/ whose name ends in .conf and "
             "restart NetworkManager (\"nmcli device set " + ifname + " managed no\" lasts only "
             "until a reboot, or until NetworkManager is told otherwise)";
    case L2_PortManager::kNetworkd: {
      // systemd-networkd sorts the files of all its folders together by
      // their names alone, and the first that matches a link wins. A name
      // too long for one line is left out rather than cut.
      const size_t slash = facts.networkFile.rfind('/');
      const std::string name =
          slash == std::string::npos ? facts.networkFile : facts.networkFile.substr(slash + 1);
      const std::string before = name.empty() || name.size() > 40
                                     ? std::string("the name of the one that matches it now")
                                     : name;
      return "add a file under /etc/systemd/network/ whose name ends in .network and sorts "
             "before " + before + " (names are compared whatever their folder), with the lines "
             "\"[Match]\", \"Name=" + ifname +
             "\", \"[Link]\" and \"Unmanaged=yes\", then run \"networkctl reload\"";
    }
    case L2_PortManager::kNone:
      break;
  }
  return "configure it to leave the interface '" + ifname + "' alone";
}
