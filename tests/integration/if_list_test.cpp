// Listing the interfaces inside a namespace: only what carries Ethernet
// frames is offered, at most sixteen of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/netns.h"

namespace {

struct Listed {
  std::string name, description;
};

// libpcap reads /sys/class/net of its mount namespace, which only
// "ip netns exec" sets up for the network namespace, so the listing runs
// in a child program there.
std::vector<Listed> ListIn(const std::string& ns) {
  std::vector<Listed> out;
#ifdef SKAV_IFLIST_PATH
  std::istringstream lines(NetnsPair::ExecOutput(ns, SKAV_IFLIST_PATH));
  std::string line;
  while (std::getline(lines, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      ADD_FAILURE() << "unexpected line: " << line;
      continue;
    }
    out.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
#else
  (void)ns;
  ADD_FAILURE() << "the skav-iflist program was not built with the tests";
#endif
  return out;
}

class IfListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKAV_REQUIRE_NETNS();
    pair_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(pair_->ok()) << "cannot create the namespaces";
    ns_ = pair_->serverNs();
  }
  int Sh(const std::string& command) { return NetnsPair::Exec(ns_, command); }

  std::unique_ptr<NetnsPair> pair_;
  std::string ns_;
};

TEST_F(IfListTest, TwoVethsAndLoopbackListTheVethsUnderTheirNames) {
  const std::string a = pair_->serverIf();
  // The second veth's peer lives in the other namespace, so this one holds
  // exactly two veths and the loopback. The label is one libpcap lists as
  // a device of its own.
  ASSERT_EQ(Sh("ip link add skvb type veth peer name skvc netns " + pair_->deviceNs() +
               " && ip link set skvb up && ip addr add 192.168.9.1/24 dev " + a + " label " +
               a + ":xyz"),
            0);

  std::vector<Listed> listed = ListIn(ns_);
  std::set<std::string> names;
  for (const Listed& l : listed) {
    names.insert(l.name);
    EXPECT_EQ(l.description, l.name) << "a Linux device goes by its name";
  }
  EXPECT_EQ(listed.size(), 2u);
  EXPECT_EQ(names, (std::set<std::string>{a, "skvb"}));
}

TEST_F(IfListTest, TwentyOneEthernetDevicesListSixteen) {
  std::set<std::string> made = {pair_->serverIf()};
  std::string script = "set -e";
  for (int i = 0; i < 10; ++i) {
    std::string x = "skx" + std::to_string(i), y = "sky" + std::to_string(i);
    script += "; ip link add " + x + " type veth peer name " + y;
    made.insert(x);
    made.insert(y);
  }
  ASSERT_EQ(Sh(script), 0);
  ASSERT_EQ(made.size(), 21u);

  std::vector<Listed> listed = ListIn(ns_);
  ASSERT_EQ(listed.size(), 16u);
  std::set<std::string> names;
  for (const Listed& l : listed) {
    EXPECT_TRUE(made.count(l.name)) << l.name << " is not one of the veths";
    names.insert(l.name);
  }
  EXPECT_EQ(names.size(), 16u) << "a device was listed twice";
}

}  // namespace
