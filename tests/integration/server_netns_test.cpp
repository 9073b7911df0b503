// The server thread on a veth pair between two namespaces, with a device
// peer on a packet socket: the advertisement cadence and frame, a client
// created by CONF-REQ, and Stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/l2_if.h"
#include "protocol/client_table.h"
#include "protocol/server_thread.h"
#include "support/netns.h"
#include "support/server_run.h"

namespace {

using namespace std::chrono_literals;
using server_run::Bytes;
using server_run::NewClientLine;
using server_run::ServerRun;
using server_run::TextLog;
using server_run::WaitFor;
using Clock = std::chrono::steady_clock;

// The MAC of `ifname` in the calling thread's namespace.
bool ReadMac(const std::string& ifname, uint8_t mac[6]) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFHWADDR, &req) == 0;
  if (ok) std::memcpy(mac, req.ifr_hwaddr.sa_data, 6);
  close(fd);
  return ok;
}

// The device's end: a packet socket for SKAV frames on the device veth.
// Created inside the device namespace; it stays there afterwards.
class DevicePeer {
 public:
  explicit DevicePeer(const NetnsPair& pair) {
    InNetns in(pair.deviceNs());
    if (!in.ok() || !ReadMac(pair.deviceIf(), mac)) return;
    ifindex_ = static_cast<int>(if_nametoindex(pair.deviceIf().c_str()));
    fd_ = socket(AF_PACKET, SOCK_RAW, htons(0x0912));
    if (fd_ < 0 || ifindex_ == 0) return;
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(0x0912);
    addr.sll_ifindex = ifindex_;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~DevicePeer() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  /// Next SKAV frame that arrived from the link before `deadline`, or
  /// empty. Frames the peer itself sent are skipped.
  Bytes Receive(Clock::time_point deadline) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) return {};
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buf[2048];
      sockaddr_ll from{};
      socklen_t fromLen = sizeof from;
      ssize_t n = recvfrom(fd_, buf, sizeof buf, 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
      return Bytes(buf, buf + n);
    }
  }

  bool Send(const Bytes& frame) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(0x0912);
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame.data(), 6);
    return sendto(fd_, frame.data(), frame.size(), 0,
                  reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(frame.size());
  }

  uint8_t mac[6] = {};

 private:
  int fd_ = -1;
  int ifindex_ = 0;
};

// The server's side: the interface opened inside the server namespace and
// the server thread started there (client threads inherit it).
class ServerSide {
 public:
  explicit ServerSide(const NetnsPair& pair) {
    InNetns in(pair.serverNs());
    if (!in.ok() || !ReadMac(pair.serverIf(), mac)) return;
    char error[256] = "";
    iface_ = L2_Open(pair.serverIf().c_str(), pair.serverIf().c_str(), error);
    if (!iface_) {
      why_ = error;
      return;
    }
    slot_.store(&log);
    ctx_.link = iface_;
    ctx_.logSlot = &slot_;
    ctx_.panel.Set(sortKey, kSortMacUp);
    run_ = std::make_unique<ServerRun>(ctx_);
  }
  ~ServerSide() {
    run_.reset();  // stops the thread
    L2_Close(iface_);
  }
  bool ok() const { return run_ != nullptr; }
  const std::string& why() const { return why_; }
  ServerRun& run() { return *run_; }

  uint8_t mac[6] = {};
  TextLog log;

 private:
  L2_If* iface_ = nullptr;
  LogSlot slot_{nullptr};
  SKAVDContext ctx_;
  std::string why_;
  std::unique_ptr<ServerRun> run_;
};

bool IsAdvertise(const Bytes& f, const uint8_t serverMac[6]) {
  const Bytes expected = {
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, serverMac[0], serverMac[1],
      serverMac[2], serverMac[3], serverMac[4], serverMac[5], 0x09, 0x12,
      0x00, 0x00, 0x01, 0x00, 0x00, 0x0e, 0x00, 0x01, 0x00, 0x08,
      0x4b, 0x53, 0x54, 0x4e};
  return f == expected;
}

TEST(ServerNetns, AdvertisesAboutTwiceASecondAs28ByteBroadcasts) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  DevicePeer device(pair);
  ASSERT_TRUE(device.ok());
  SKAVDResetPoolForTest();
  ServerSide server(pair);
  ASSERT_TRUE(server.ok()) << server.why();

  Bytes first = device.Receive(Clock::now() + 3s);
  ASSERT_TRUE(IsAdvertise(first, server.mac)) << "got " << first.size() << " bytes";
  // Count over four seconds from the first one: eight cycles of 500 ms.
  // The bounds leave room for a loaded machine (sanitizer builds, tests
  // running side by side) while still telling two a second from one or
  // from a loop that does not wait.
  auto start = Clock::now();
  int adverts = 0, others = 0;
  for (Bytes f; !(f = device.Receive(start + 4s)).empty();) {
    if (IsAdvertise(f, server.mac))
      ++adverts;
    else
      ++others;
  }
  EXPECT_GE(adverts, 5);
  EXPECT_LE(adverts, 9);
  EXPECT_EQ(others, 0);
  EXPECT_TRUE(server.run().Stop());
}

TEST(ServerNetns, ConfReqCreatesAClientAndStopEndsTheServer) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  DevicePeer device(pair);
  ASSERT_TRUE(device.ok());
  SKAVDResetPoolForTest();
  ServerSide server(pair);
  ASSERT_TRUE(server.ok()) << server.why();

  // Learn nothing from the server first: send to it directly.
  Bytes confReq(server.mac, server.mac + 6);
  confReq.insert(confReq.end(), device.mac, device.mac + 6);
  confReq.insert(confReq.end(), {0x09, 0x12, 0x00, 0x00, 0x02, 0x00, 0x00, 0x06});
  ASSERT_TRUE(device.Send(confReq));

  ASSERT_TRUE(WaitFor([&] {
    return server.log.Has(NewClientLine(device.mac, "10.0.0.2"));
  })) << server.log.Text();
  // The client answers across the link: CONF-ACK with DEV-IP 10.0.0.2/8.
  Bytes confAck;
  auto deadline = Clock::now() + 3s;
  for (Bytes f; confAck.empty() && !(f = device.Receive(deadline)).empty();)
    if (f.size() >= 17 && f[16] == 0x03) confAck = f;
  Bytes expected(device.mac, device.mac + 6);
  expected.insert(expected.end(), server.mac, server.mac + 6);
  expected.insert(expected.end(),
                  {0x09, 0x12, 0x00, 0x00, 0x03, 0x00, 0x00, 0x12, 0x00, 0x02,
                   0x00, 0x0c, 0x0a, 0x00, 0x00, 0x02, 0xff, 0x00, 0x00, 0x00});
  EXPECT_EQ(confAck, expected);

  EXPECT_TRUE(server.run().Stop(true, 1500ms))
      << "Stop did not end the server within a cycle";
  EXPECT_EQ(server.run().result(), 0);
  EXPECT_EQ(gClientList, nullptr);
}

}  // namespace
