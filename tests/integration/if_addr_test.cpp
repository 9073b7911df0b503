// The server address at Start, in a namespace with two interfaces: only the
// addresses this program added are removed, never the user's own.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/if_addr_mark.h"
#include "link/if_claim.h"
#include "link/if_list.h"
#include "support/netns.h"

namespace {

struct Addr {
  std::string ifname, cidr, label;
};

struct StartResult {
  int rc = -1;
  std::string reason;
  int trial = -1;  // L2_CheckIfAddr just before
};

// Every IPv4 address of the namespace, read with iproute2, which knows
// nothing of our marker.
std::vector<Addr> AddrsOf(const std::string& ns) {
  std::vector<Addr> out;
  std::istringstream lines(NetnsPair::ExecOutput(ns, "ip -o -4 addr show"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (w.size() < 4 || w[2] != "inet") continue;
    Addr a{w[1], w[3], ""};
    for (const std::string& s : w)
      if (s.size() > 1 && s.back() == '\\') a.label = s.substr(0, s.size() - 1);
    out.push_back(a);
  }
  return out;
}

int Count(const std::string& ns, const std::string& ifname, const std::string& cidr) {
  int n = 0;
  for (const Addr& a : AddrsOf(ns)) n += a.ifname == ifname && a.cidr == cidr;
  return n;
}

std::string LabelOf(const std::string& ns, const std::string& ifname, const std::string& cidr) {
  for (const Addr& a : AddrsOf(ns))
    if (a.ifname == ifname && a.cidr == cidr) return a.label;
  return "<absent>";
}

// Capabilities belong to a thread; this thread alone loses CAP_NET_ADMIN.
bool DropNetAdminOnThisThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

enum class Rights { kFull, kNoNetAdmin };

// A Start's address step, as the main window runs it, inside `ns`.
StartResult StartIn(const std::string& ns, const std::string& ifname,
                    Rights rights = Rights::kFull,
                    const L2_AddrMark* mark = nullptr) {
  StartResult r;
  std::thread t([&] {
    InNetns in(ns);
    if (!in.ok()) {
      r.reason = "cannot enter " + ns;
      return;
    }
    if (rights == Rights::kNoNetAdmin && !DropNetAdminOnThisThread()) {
      r.reason = "cannot drop CAP_NET_ADMIN";
      return;
    }
    r.trial = L2_CheckIfAddr(ifname.c_str(), "10.0.0.1", "255.0.0.0");
    r.rc = mark ? L2_SetIfAddrMarked(*mark, ifname.c_str(), "10.0.0.1", "255.0.0.0")
                : L2_SetIfAddr(ifname.c_str(), "10.0.0.1", "255.0.0.0");
    r.reason = L2_LastIfAddrError();
  });
  t.join();
  return r;
}

// Takes `claim` on interface `ifname` of namespace `ns`, as a server
// running there would.
L2_IfClaim::Result ClaimIn(const std::string& ns, const std::string& ifname,
                           L2_IfClaim& claim) {
  L2_IfClaim::Result r = L2_IfClaim::Result::kFailed;
  std::thread t([&] {
    InNetns in(ns);
    if (in.ok()) r = claim.Take(ifname.c_str());
  });
  t.join();
  return r;
}

class IfAddrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKAV_REQUIRE_NETNS();
    char claims[] = "/tmp/skav-claims-XXXXXX";
    ASSERT_NE(mkdtemp(claims), nullptr);
    claimDir_ = claims;
    L2_SetClaimDirForTest(claimDir_.c_str());
    pair_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(pair_->ok()) << "cannot create the namespaces";
    ns_ = pair_->serverNs();
    a_ = pair_->serverIf();
    // A second Ethernet interface beside the first, in the same namespace.
    ASSERT_EQ(Sh("ip link add " + b_ + " type veth peer name skvpeer && ip link set " + b_ +
                 " up && ip link set skvpeer up"),
              0);
  }

  void TearDown() override {
    L2_SetClaimDirForTest(nullptr);
    std::error_code ec;
    if (!claimDir_.empty()) std::filesystem::remove_all(claimDir_, ec);
  }

  int Sh(const std::string& command) { return NetnsPair::Exec(ns_, command); }

  int Promote(const std::string& ifname) {
    std::string v = NetnsPair::ExecOutput(
        ns_, "cat /proc/sys/net/ipv4/conf/" + ifname + "/promote_secondaries");
    return v.empty() ? -1 : std::stoi(v);
  }

  std::unique_ptr<NetnsPair> pair_;
  std::string ns_, a_, b_ = "skvb";
  std::string claimDir_;
};

TEST_F(IfAddrTest, TwoStartsLeaveOneServerAddressAndSpareTheUsersAddresses) {
  ASSERT_EQ(Sh("ip addr add 192.168.7.1/24 dev " + b_), 0);
  ASSERT_EQ(Sh("ip addr add 172.16.3.1/16 dev " + a_), 0);

  StartResult first = StartIn(ns_, a_);
  ASSERT_EQ(first.rc, 0) << first.reason;
  EXPECT_EQ(first.reason, "");
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);

  StartResult second = StartIn(ns_, a_);
  ASSERT_EQ(second.rc, 0) << second.reason;
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 0);
  EXPECT_EQ(Count(ns_, b_, "192.168.7.1/24"), 1);
  EXPECT_EQ(Count(ns_, a_, "172.16.3.1/16"), 1);
}

// Several servers on one machine: the server address of an interface that
// a running server claims is that server's; only its own stale one and
// those of stopped servers go.
TEST_F(IfAddrTest, AClaimedInterfaceKeepsItsServerAddressUntilItsServerStops) {
  using R = L2_IfClaim::Result;
  L2_IfClaim onA, onB;
  ASSERT_EQ(ClaimIn(ns_, a_, onA), R::kClaimed) << onA.reason();
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  ASSERT_EQ(ClaimIn(ns_, b_, onB), R::kClaimed) << onB.reason();

  for (int run = 0; run < 2; ++run) {
    StartResult r = StartIn(ns_, b_);
    ASSERT_EQ(r.rc, 0) << r.reason;
    EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1) << "run " << run;
    EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 1) << "run " << run;
  }

  onA.Release();
  ASSERT_EQ(StartIn(ns_, b_).rc, 0);
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 0);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 1);
}

// Interface names are per network namespace, and so are claims.
TEST_F(IfAddrTest, TheSameNameInAnotherNamespaceIsAnotherInterface) {
  using R = L2_IfClaim::Result;
  L2_IfClaim here, there, again;
  ASSERT_EQ(ClaimIn(ns_, b_, here), R::kClaimed) << here.reason();
  EXPECT_EQ(ClaimIn(pair_->deviceNs(), b_, there), R::kClaimed) << there.reason();
  EXPECT_EQ(ClaimIn(ns_, b_, again), R::kTaken);
}

TEST_F(IfAddrTest, UsersTenAddressBehindOursSurvivesAndPromotionIsPutBack) {
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  // Added after ours, in the same subnet: the kernel makes it a secondary
  // of our primary, which a plain delete would take along.
  ASSERT_EQ(Sh("ip addr add 10.5.5.5/8 dev " + a_), 0);
  ASSERT_EQ(Promote(a_), 0);

  StartResult again = StartIn(ns_, a_);
  ASSERT_EQ(again.rc, 0) << again.reason;
  EXPECT_EQ(Count(ns_, a_, "10.5.5.5/8"), 1);
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);
  EXPECT_EQ(Promote(a_), 0);

  // Ours is now the secondary; moving to B removes it and nothing else.
  StartResult onB = StartIn(ns_, b_);
  ASSERT_EQ(onB.rc, 0) << onB.reason;
  EXPECT_EQ(Count(ns_, a_, "10.5.5.5/8"), 1);
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 0);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 1);
}

TEST_F(IfAddrTest, UsersTenAddressAsPrimarySurvivesWhenOursMovesAway) {
  ASSERT_EQ(Sh("ip addr add 10.5.5.5/8 dev " + a_), 0);
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  EXPECT_EQ(Count(ns_, a_, "10.5.5.5/8"), 1);
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);

  ASSERT_EQ(StartIn(ns_, b_).rc, 0);
  EXPECT_EQ(Count(ns_, a_, "10.5.5.5/8"), 1);
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 0);
}

TEST_F(IfAddrTest, StaleServerAddressOnOneInterfaceGoesWhenStartingOnAnother) {
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  ASSERT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);

  StartResult onB = StartIn(ns_, b_);
  ASSERT_EQ(onB.rc, 0) << onB.reason;
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 0);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 1);
}

// The server address put there by hand: used as it is on the chosen port,
// in the way on a port no server claims.
TEST_F(IfAddrTest, ServerAddressPutThereByHandIsUsedOnThePortAndRefusedElsewhere) {
  const struct { std::string ifname, cidr; int rc; } cases[] = {
      {a_, "10.0.0.1/8", 0}, {b_, "10.0.0.1/8", 1}};
  for (const auto& c : cases) {
    ASSERT_EQ(Sh("ip addr add " + c.cidr + " dev " + c.ifname), 0);
    StartResult r = StartIn(ns_, a_);
    EXPECT_EQ(r.rc, c.rc) << r.reason;
    EXPECT_EQ(r.trial, c.rc);
    EXPECT_EQ(r.reason.find(c.cidr + " is on '" + c.ifname + "'"), c.rc ? 0u : std::string::npos);
    EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1 - c.rc);
    ASSERT_EQ(Sh("ip addr flush dev " + c.ifname), 0);
  }
}

TEST_F(IfAddrTest, WithoutNetAdminNothingChangesAndTheReasonNamesTheRemedy) {
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  StartResult r = StartIn(ns_, b_, Rights::kNoNetAdmin);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.reason.find("CAP_NET_ADMIN"), std::string::npos) << r.reason;
  EXPECT_NE(r.reason.find("setcap cap_net_raw,cap_net_admin+eip"), std::string::npos)
      << r.reason;
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 0);
}

TEST_F(IfAddrTest, UnknownInterfaceIsRefusedBeforeAnythingIsRemoved) {
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  StartResult r = StartIn(ns_, "nosuchif0");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.reason.find("nosuchif0"), std::string::npos) << r.reason;
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);
}

TEST_F(IfAddrTest, BadAddressOrMaskIsRefusedBeforeAnythingIsRemoved) {
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  StartResult r;
  std::thread t([&] {
    InNetns in(ns_);
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(L2_SetIfAddr(b_.c_str(), "10.0.0.1", "255.0.255.0"), 1);
    EXPECT_NE(std::string(L2_LastIfAddrError()).find("255.0.255.0"), std::string::npos);
    EXPECT_EQ(L2_SetIfAddr(b_.c_str(), "10.0.0.256", "255.0.0.0"), 1);
    EXPECT_NE(std::string(L2_LastIfAddrError()).find("10.0.0.256"), std::string::npos);
  });
  t.join();
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.1/8"), 0);
}

TEST_F(IfAddrTest, FifteenCharacterInterfaceNameIsMarkedByProtocol) {
  const std::string longName = "skavlongname015";
  ASSERT_EQ(longName.size(), 15u);
  ASSERT_EQ(Sh("ip link set " + b_ + " down && ip link set " + b_ + " name " + longName +
               " && ip link set " + longName + " up"),
            0);
  const L2_AddrMark protocol = L2_AddrMark::kProtocol;
  ASSERT_EQ(StartIn(ns_, longName, Rights::kFull, &protocol).rc, 0);
  ASSERT_EQ(StartIn(ns_, longName, Rights::kFull, &protocol).rc, 0);
  EXPECT_EQ(Count(ns_, longName, "10.0.0.1/8"), 1);
  ASSERT_EQ(StartIn(ns_, a_, Rights::kFull, &protocol).rc, 0);
  EXPECT_EQ(Count(ns_, longName, "10.0.0.1/8"), 0);
}

// Kernels before 5.18 keep no address protocol; the label marks ours there.
TEST_F(IfAddrTest, LabelMarkerRemovesOnlyItsOwnLabel) {
  const L2_AddrMark label = L2_AddrMark::kLabel;
  // A user's alias in the old style, and an address like ours under
  // another digits-only label on the other interface.
  ASSERT_EQ(Sh("ip addr add 10.9.9.9/8 dev " + a_ + " label " + a_ + ":1"), 0);
  ASSERT_EQ(Sh("ip addr add 10.0.0.2/8 dev " + b_ + " label " + b_ + ":7"), 0);

  ASSERT_EQ(StartIn(ns_, a_, Rights::kFull, &label).rc, 0);
  StartResult again = StartIn(ns_, a_, Rights::kFull, &label);
  ASSERT_EQ(again.rc, 0) << again.reason;
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 1);
  EXPECT_EQ(LabelOf(ns_, a_, "10.0.0.1/8"), a_ + kServerLabelSuffix);
  EXPECT_EQ(Count(ns_, a_, "10.9.9.9/8"), 1);
  EXPECT_EQ(Count(ns_, b_, "10.0.0.2/8"), 1);
}

TEST_F(IfAddrTest, LabelMarkerRefusesANameWithoutRoomForTheLabel) {
  const std::string longName = "skavlongname015";
  ASSERT_EQ(Sh("ip link set " + b_ + " down && ip link set " + b_ + " name " + longName +
               " && ip link set " + longName + " up"),
            0);
  const L2_AddrMark label = L2_AddrMark::kLabel;
  StartResult r = StartIn(ns_, longName, Rights::kFull, &label);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.reason.find("15 characters"), std::string::npos) << r.reason;
  EXPECT_EQ(Count(ns_, longName, "10.0.0.1/8"), 0);
}

TEST_F(IfAddrTest, ClearRemovesOursAndLeavesTheRest) {
  ASSERT_EQ(StartIn(ns_, a_).rc, 0);
  ASSERT_EQ(Sh("ip addr add 10.7.7.7/8 dev " + b_), 0);
  int rc = -1;
  std::thread t([&] {
    InNetns in(ns_);
    ASSERT_TRUE(in.ok());
    rc = L2_ClearIfAddrs();
  });
  t.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Count(ns_, a_, "10.0.0.1/8"), 0);
  EXPECT_EQ(Count(ns_, b_, "10.7.7.7/8"), 1);
}

}  // namespace
