// Who else on the bench PC manages a port: a network manager that runs
// DHCP on it or reconfigures it removes the server address, and the
// operator needs its name and the exact way to make it leave the port
// alone. Read from the runtime state each manager keeps, never changed.
#pragma once

#include <string>

enum class L2_PortManager { kNone, kNetworkManager, kNetworkd };

struct L2_PortManagerFacts {
  L2_PortManager manager = L2_PortManager::kNone;
  /// systemd-networkd: the .network file it applies, when it names one.
  std::string networkFile;
};

/// The manager that manages link `ifname` (index `ifindex`). NetworkManager
/// is asked on the system bus (`busAddress` when given, for tests): its
/// state files under /run outlive it and keep saying "managed" after it was
/// told to leave the port alone. systemd-networkd is read from its state
/// under `runDir` (the machine's /run; tests give a fixture), which it
/// removes when it stops: netif/links/<ifindex> in any state but unmanaged.
L2_PortManagerFacts L2_FindPortManager(int ifindex, const std::string& ifname,
                                       const std::string& runDir = "/run",
                                       const std::string& busAddress = {});

/// The manager's name ("NetworkManager", "systemd-networkd"), or "a network
/// manager or DHCP client" when none was found.
const char* L2_PortManagerName(const L2_PortManagerFacts& facts);

/// What stops the manager from touching port `ifname`, as words that follow
/// "to stop it, ": the configuration to write and the command to apply it.
std::string L2_PortManagerRemedy(const L2_PortManagerFacts& facts, const std::string& ifname);
