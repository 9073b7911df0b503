// Which network manager manages a port: systemd-networkd from fixtures of
// the state it keeps, NetworkManager from a stand-in for it on a bus of
// the test's own, and the remedy named for each.
#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "link/port_manager.h"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> gManaged{false};

int DeviceByIface(sd_bus_message* m, void*, sd_bus_error* error) {
  const char* name = nullptr;
  if (sd_bus_message_read(m, "s", &name) < 0 || std::string(name) != "bench1")
    return sd_bus_error_set(error, "org.freedesktop.NetworkManager.UnknownDevice", "none");
  return sd_bus_reply_method_return(m, "o", "/org/freedesktop/NetworkManager/Devices/2");
}
int Managed(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
  return sd_bus_message_append(reply, "b", gManaged.load() ? 1 : 0);
}
const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetDeviceByIpIface", "s", "o", DeviceByIface, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kDevice[] = {SD_BUS_VTABLE_START(0),
                                 SD_BUS_PROPERTY("Managed", "b", Managed, 0, 0),
                                 SD_BUS_VTABLE_END};

// A bus daemon of the test's own and, on it, a NetworkManager that knows
// one device, bench1, managed or not as gManaged says.
class FakeNetworkManager {
 public:
  FakeNetworkManager() {
    FILE* out = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    char address[512] = "", pid[32] = "";
    if (out == nullptr) return;
    if (std::fgets(address, sizeof address, out) && std::fgets(pid, sizeof pid, out)) {
      address_ = std::string(address, std::strlen(address) - 1);
      pid_ = std::atoi(pid);
    }
    pclose(out);
    sd_bus* bus = nullptr;
    if (pid_ <= 0 || sd_bus_new(&bus) < 0) return;
    bus_ = bus;
    if (sd_bus_set_address(bus, address_.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/NetworkManager",
                                 "org.freedesktop.NetworkManager", kManager, nullptr) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/NetworkManager/Devices/2",
                                 "org.freedesktop.NetworkManager.Device", kDevice, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.NetworkManager", 0) < 0)
      return;
    serving_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 50 * 1000);
      }
    });
  }
  ~FakeNetworkManager() {
    stop_ = true;
    if (serving_.joinable()) serving_.join();
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  bool ok() const { return serving_.joinable(); }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  pid_t pid_ = 0;
  sd_bus* bus_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread serving_;
};

TEST(PortManager, NetworkManagerIsAskedOnItsBusAboutTheDeviceOfThatName) {
  FakeNetworkManager nm;
  if (!nm.ok()) GTEST_SKIP() << "no dbus-daemon here";
  const std::string none = "/nonexistent";
  gManaged = true;
  EXPECT_EQ(L2_FindPortManager(2, "bench1", none, nm.address()).manager,
            L2_PortManager::kNetworkManager);
  EXPECT_EQ(L2_FindPortManager(3, "bench2", none, nm.address()).manager, L2_PortManager::kNone);
  gManaged = false;  // told to leave it alone: its state files would still say managed
  EXPECT_EQ(L2_FindPortManager(2, "bench1", none, nm.address()).manager, L2_PortManager::kNone);
  EXPECT_EQ(L2_PortManagerRemedy({L2_PortManager::kNetworkManager, {}}, "bench1"),
            "put the two lines \"[keyfile]\" and \"unmanaged-devices=interface-name:bench1\" "
            "in a file under /etc/NetworkManager/conf.d/ whose name ends in .conf and restart "
            "NetworkManager (\"nmcli device set bench1 managed no\" lasts only until a reboot, "
            "or until NetworkManager is told otherwise)");
}

TEST(PortManager, NetworkdInAnyStateButUnmanagedNamesItsNetworkFile) {
  const fs::path run = fs::temp_directory_path() / ("skav-run-" + std::to_string(getpid()));
  fs::create_directories(run / "systemd/netif/links");
  // As systemd-networkd 252 wrote them for a port it configures by DHCP,
  // and for one a .network file with [Link] Unmanaged=yes matches.
  std::ofstream(run / "systemd/netif/links/2")
      << "# This is private data. Do not parse.\nADMIN_STATE=configuring\nOPER_STATE=routable\n"
         "CARRIER_STATE=carrier\nACTIVATION_POLICY=up\n"
         "NETWORK_FILE=/run/systemd/network/50-bench1.network\nDNS=\n";
  std::ofstream(run / "systemd/netif/links/3")
      << "# This is private data. Do not parse.\nADMIN_STATE=unmanaged\nOPER_STATE=routable\n";
  const std::string noBus = "unix:path=/nonexistent";
  const L2_PortManagerFacts facts = L2_FindPortManager(2, "bench1", run.string(), noBus);
  EXPECT_EQ(facts.manager, L2_PortManager::kNetworkd);
  EXPECT_EQ(facts.networkFile, "/run/systemd/network/50-bench1.network");
  EXPECT_EQ(L2_FindPortManager(3, "bench3", run.string(), noBus).manager, L2_PortManager::kNone);
  EXPECT_EQ(L2_FindPortManager(4, "bench4", run.string(), noBus).manager, L2_PortManager::kNone);
  EXPECT_EQ(L2_PortManagerRemedy(facts, "bench1"),
            "add a file under /etc/systemd/network/ whose name ends in .network and sorts "
            "before 50-bench1.network (names are compared whatever their folder), with the "
            "lines \"[Match]\", \"Name=bench1\", \"[Link]\" and \"Unmanaged=yes\", then run "
            "\"networkctl reload\"");
  fs::remove_all(run);
}

}  // namespace
