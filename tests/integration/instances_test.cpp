// Several headless servers on one machine, as processes in network
// namespaces: a second server on an interface is refused while the first
// serves on untouched, a killed server blocks nothing, and two servers on
// two interfaces of one namespace leave each other's address and devices
// alone.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "integration/e2e_support.h"
#include "support/netns.h"

#if defined(SKAV_SERVER_BIN) && defined(SKAV_DEVSIM_PATH)

namespace {

using namespace std::chrono_literals;
using e2e::Child;

constexpr auto kStartLimit = 30s;
constexpr auto kSimLimit = 90s;
const char kStarted[] = "SKAV Server starts running (region: 0)...\r\n";

int Occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Server addresses on `ifname`, as iproute2 lists them.
int ServerAddrs(const std::string& ns, const std::string& ifname) {
  return Occurrences(NetnsPair::ExecOutput(ns, "ip -o -4 addr show dev " + ifname),
                     " 10.0.0.1/8 ");
}

std::string Settings(const e2e::TempDir& dir, const std::string& name,
                     const std::string& ifname, const std::string& firmware,
                     const std::string& table1 = "") {
  const std::string text = "[General]\nInterface Name=" + ifname + "\nFirmware Path=" +
                           firmware + "\nString Table 1 Path=" + table1 + "\n";
  return dir.Write(name, e2e::Bytes(text.begin(), text.end()));
}

std::vector<std::string> Server(const std::string& settings) {
  return {SKAV_SERVER_BIN, "--headless", "--settings", settings};
}

std::vector<std::string> Device(const std::string& ifname, const std::string& mac,
                                const std::string& firmware) {
  return {SKAV_DEVSIM_PATH, "--if",    ifname, "--base-mac", mac, "--expect",
          "firmware=" + firmware, "--timeout", "60"};
}

int StopAndWait(Child& server) {
  kill(server.pid(), SIGTERM);
  return server.Wait(kStartLimit);
}

TEST(Instances, ASecondServerOnAnInterfaceIsRefusedAndAKilledOneBlocksNothing) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  e2e::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string fw = dir.Write("fw.bin", e2e::Pattern(3000, 1));
  const std::string st1 = dir.Write("st1.bin", e2e::Pattern(700, 2));
  const std::string settings = Settings(dir, "one.conf", pair.serverIf(), fw, st1);

  Child first(pair.serverNs(), Server(settings));
  ASSERT_TRUE(first.WaitForOutput(kStarted, kStartLimit)) << first.output();
  ASSERT_EQ(ServerAddrs(pair.serverNs(), pair.serverIf()), 1);

  Child second(pair.serverNs(), Server(settings));
  EXPECT_EQ(second.Wait(kStartLimit), 1) << second.output();
  EXPECT_NE(second.output().find("Interface '" + pair.serverIf() +
                                 "' is already served by skav-server (pid " +
                                 std::to_string(first.pid()) + ")\n"),
            std::string::npos)
      << second.output();
  EXPECT_NE(second.output().find("SKAV Server is stopped.\r\n"), std::string::npos);
  EXPECT_EQ(second.output().find("starts running"), std::string::npos) << second.output();
  EXPECT_EQ(ServerAddrs(pair.serverNs(), pair.serverIf()), 1);

  // The first serves a device exactly once: one CONF-ACK, one WRQ an image.
  std::vector<std::string> device = Device(pair.deviceIf(), "02:5a:00:00:00:01", fw);
  device.insert(device.end(), {"--expect", "st1=" + st1});
  Child sim(pair.deviceNs(), device);
  EXPECT_EQ(sim.Wait(kSimLimit), 0) << sim.output() << first.output();
  const std::string mac = "[02-5a-00-00-00-01] ";
  EXPECT_TRUE(first.WaitForOutput(mac + "TX SKAV CLOSE-ACK", 10s)) << first.output();
  EXPECT_EQ(Occurrences(first.output(), mac + "TX SKAV CONF-ACK: "), 1) << first.output();
  EXPECT_EQ(Occurrences(first.output(), mac + "TX TFTP WRQ\r\n"), 2) << first.output();
  EXPECT_NE(e2e::LineStartingWith(sim.output(), "02-5a-00-00-00-01 ").find(" wrq=2 "),
            std::string::npos)
      << sim.output();

  // Killed, it can release nothing itself; the next server starts at once.
  ASSERT_EQ(kill(first.pid(), SIGKILL), 0);
  first.Wait(kStartLimit);
  Child third(pair.serverNs(), Server(settings));
  EXPECT_TRUE(third.WaitForOutput(kStarted, kStartLimit)) << third.output();
  EXPECT_EQ(ServerAddrs(pair.serverNs(), pair.serverIf()), 1);
  EXPECT_EQ(StopAndWait(third), 0) << third.output();
}

TEST(Instances, TwoServersOnTwoInterfacesOfOneNamespaceLeaveEachOtherAlone) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  const std::string ns = pair.serverNs();
  const std::string ifA = pair.serverIf(), ifB = "skvb";
  const std::string devA = pair.deviceIf(), devB = "skvbd";
  ASSERT_EQ(Shell("ip link add " + ifB + " netns " + ns + " type veth peer name " + devB +
                  " netns " + pair.deviceNs() + " && ip -n " + ns + " link set " + ifB +
                  " up && ip -n " + pair.deviceNs() + " link set " + devB + " up"),
            0);
  e2e::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string fwA = dir.Write("a.bin", e2e::Pattern(2000, 3));
  const std::string fwB = dir.Write("b.bin", e2e::Pattern(2600, 4));
  const std::string settingsA = Settings(dir, "a.conf", ifA, fwA);
  const std::string settingsB = Settings(dir, "b.conf", ifB, fwB);

  Child a(ns, Server(settingsA));
  ASSERT_TRUE(a.WaitForOutput(kStarted, kStartLimit)) << a.output();
  Child b(ns, Server(settingsB));
  ASSERT_TRUE(b.WaitForOutput(kStarted, kStartLimit)) << b.output();
  EXPECT_EQ(ServerAddrs(ns, ifA), 1);
  EXPECT_EQ(ServerAddrs(ns, ifB), 1);

  // Each segment's device gets its own segment's image from its server.
  const auto serveBoth = [&](Child& serverA, Child& serverB, const std::string& macA,
                             const std::string& macB) {
    Child simA(pair.deviceNs(), Device(devA, macA, fwA));
    Child simB(pair.deviceNs(), Device(devB, macB, fwB));
    EXPECT_EQ(simA.Wait(kSimLimit), 0) << simA.output() << serverA.output();
    EXPECT_EQ(simB.Wait(kSimLimit), 0) << simB.output() << serverB.output();
    std::string dashA = macA, dashB = macB;
    for (char& c : dashA) c = c == ':' ? '-' : c;
    for (char& c : dashB) c = c == ':' ? '-' : c;
    const std::string ackA = "[" + dashA + "] TX SKAV CONF-ACK: ";
    const std::string ackB = "[" + dashB + "] TX SKAV CONF-ACK: ";
    // Everything up to each device's last answer, read from the servers.
    EXPECT_TRUE(serverA.WaitForOutput("[" + dashA + "] TX SKAV CLOSE-ACK", 10s));
    EXPECT_TRUE(serverB.WaitForOutput("[" + dashB + "] TX SKAV CLOSE-ACK", 10s));
    EXPECT_EQ(Occurrences(serverA.output(), ackA), 1) << serverA.output();
    EXPECT_EQ(Occurrences(serverB.output(), ackB), 1) << serverB.output();
    EXPECT_EQ(Occurrences(serverA.output(), ackB), 0) << serverA.output();
    EXPECT_EQ(Occurrences(serverB.output(), ackA), 0) << serverB.output();
  };
  serveBoth(a, b, "02:5a:00:00:0a:01", "02:5a:00:00:0b:01");

  // B stops and starts again: A keeps its address and goes on serving.
  EXPECT_EQ(StopAndWait(b), 0) << b.output();
  EXPECT_EQ(ServerAddrs(ns, ifA), 1);
  Child b2(ns, Server(settingsB));
  ASSERT_TRUE(b2.WaitForOutput(kStarted, kStartLimit)) << b2.output();
  EXPECT_EQ(ServerAddrs(ns, ifA), 1);
  EXPECT_EQ(ServerAddrs(ns, ifB), 1);
  serveBoth(a, b2, "02:5a:00:00:0a:02", "02:5a:00:00:0b:02");
  EXPECT_EQ(a.output().find("SKAV Server is stopped."), std::string::npos) << a.output();
  EXPECT_EQ(StopAndWait(a), 0) << a.output();
  EXPECT_EQ(StopAndWait(b2), 0) << b2.output();
}

}  // namespace

#endif  // SKAV_SERVER_BIN && SKAV_DEVSIM_PATH
