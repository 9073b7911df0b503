// Which network manager manages a port, read from fixtures of the runtime
// state NetworkManager and systemd-networkd keep, and the remedy named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "link/port_manager.h"

namespace {

namespace fs = std::filesystem;

class PortManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_ = fs::temp_directory_path() / ("skav-run-" + std::to_string(getpid()));
    fs::remove_all(run_);
  }
  void TearDown() override { fs::remove_all(run_); }

  void Write(const std::string& relative, const std::string& text) {
    const fs::path path = run_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  L2_PortManagerFacts Find(int ifindex) { return L2_FindPortManager(ifindex, run_.string()); }

  fs::path run_;
};

TEST_F(PortManagerTest, NetworkManagerWhileItRunsAndOnlyForADeviceItManages) {
  Write("NetworkManager/devices/2",
        "[device]\nmanaged=true\nperm-hw-addr-fake=\nconnection-uuid=4a1e\nnm-owned=false\n");
  Write("NetworkManager/devices/3", "[device]\nmanaged=false\n");
  EXPECT_EQ(Find(2).manager, L2_PortManager::kNone) << "no pid file: it has stopped";
  Write("NetworkManager/NetworkManager.pid", "4242\n");
  EXPECT_EQ(Find(2).manager, L2_PortManager::kNetworkManager);
  EXPECT_EQ(Find(3).manager, L2_PortManager::kNone);
  EXPECT_EQ(Find(4).manager, L2_PortManager::kNone);
  EXPECT_EQ(L2_PortManagerRemedy(Find(2), "bench1"),
            "put the two lines \"[keyfile]\" and \"unmanaged-devices=interface-name:bench1\" "
            "in a file under /etc/NetworkManager/conf.d/ and restart NetworkManager (\"nmcli "
            "device set bench1 managed no\" lasts only until it restarts)");
}

TEST_F(PortManagerTest, NetworkdInAnyStateButUnmanagedNamesItsNetworkFile) {
  Write("systemd/netif/state", "OPER_STATE=routable\n");
  Write("systemd/netif/links/2",
        "# This is private data. Do not parse.\nADMIN_STATE=configured\nOPER_STATE=routable\n"
        "NETWORK_FILE=/etc/systemd/network/20-wired.network\n");
  Write("systemd/netif/links/3", "ADMIN_STATE=unmanaged\nOPER_STATE=carrier\n");
  const L2_PortManagerFacts facts = Find(2);
  EXPECT_EQ(facts.manager, L2_PortManager::kNetworkd);
  EXPECT_EQ(facts.networkFile, "/etc/systemd/network/20-wired.network");
  EXPECT_EQ(Find(3).manager, L2_PortManager::kNone);
  EXPECT_EQ(L2_PortManagerRemedy(facts, "bench1"),
            "add a .network file under /etc/systemd/network/ that sorts before "
            "/etc/systemd/network/20-wired.network, with the lines \"[Match]\", "
            "\"Name=bench1\", \"[Link]\" and \"Unmanaged=yes\", then run \"networkctl reload\"");
  fs::remove(run_ / "systemd/netif/state");
  EXPECT_EQ(Find(2).manager, L2_PortManager::kNone) << "networkd has stopped";
}

}  // namespace
