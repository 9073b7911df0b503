// The capture interface on a real device: a veth pair between two network
// namespaces, the server end opened with L2_Open, the device end read and
// written through a packet socket of its own.
#include <arpa/inet.h>
#include <dirent.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/l2_if.h"
#include "link/pkt_buf.h"
#include "support/netns.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ADVERTISE: header 00 00 | code 01 | 00 | length 00 0e, then MAGIC-NO
// (type 00 01, length 00 08, "KSTN").
const Bytes kAdvertise = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0e, 0x00,
                          0x01, 0x00, 0x08, 0x4b, 0x53, 0x54, 0x4e};
const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               Clock::now() - since)
                               .count());
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The MAC of `ifname` as the kernel shows it in the namespace's /sys.
Bytes SysMac(const std::string& ns, const std::string& ifname) {
  std::string text =
      Trim(NetnsPair::ExecOutput(ns, "cat /sys/class/net/" + ifname + "/address"));
  unsigned b[6];
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5]) != 6)
    return {};
  return Bytes(b, b + 6);
}

uint32_t SysIfIndex(const std::string& ns, const std::string& ifname) {
  return static_cast<uint32_t>(std::stoul(
      "0" + Trim(NetnsPair::ExecOutput(ns, "cat /sys/class/net/" + ifname + "/ifindex"))));
}

Bytes Frame(const Bytes& dst, const Bytes& src, uint16_t type, const Bytes& payload) {
  Bytes f = dst;
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(static_cast<uint8_t>(type >> 8));
  f.push_back(static_cast<uint8_t>(type));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

int OpenFdCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

// A packet socket on one interface of one namespace: what the other end of
// the wire (or a bystander on the server's side) sends and hears.
class PacketSocket {
 public:
  bool Open(const std::string& ns, const std::string& ifname) {
    InNetns in(ns);
    if (!in.ok()) return false;
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) return false;
    int size = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    return addr.sll_ifindex != 0 &&
           bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~PacketSocket() {
    if (fd_ >= 0) close(fd_);
  }

  bool Send(const Bytes& frame) {
    return send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
  }

  // The next frame that arrived on the interface (not one sent from this
  // side), or nothing within `ms`.
  std::optional<Bytes> Receive(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const long left = -ElapsedMs(deadline);
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t bytes[2048];
      sockaddr_ll from{};
      socklen_t fromLen = sizeof from;
      const ssize_t n = recvfrom(fd_, bytes, sizeof bytes, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n < 0) return std::nullopt;
      if (from.sll_pkttype == PACKET_OUTGOING) continue;
      return Bytes(bytes, bytes + n);
    }
  }

 private:
  int fd_ = -1;
};

// Frames handed over by L2_RxPkts; the handler runs on the receiving thread.
struct Received {
  std::vector<Bytes> frames;
  static int Handle(void* context, const L2_Frame& frame) {
    static_cast<Received*>(context)->frames.emplace_back(frame.bytes,
                                                         frame.bytes + frame.length);
    return 0;
  }
  L2_RxHandler Handler() { return L2_RxHandler{&Received::Handle, this}; }
};

class LinkNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKAV_REQUIRE_NETNS();
    pair_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(pair_->ok()) << "could not create the namespaces";
    serverMac_ = SysMac(pair_->serverNs(), pair_->serverIf());
    deviceMac_ = SysMac(pair_->deviceNs(), pair_->deviceIf());
    ASSERT_EQ(serverMac_.size(), 6u);
    ASSERT_EQ(deviceMac_.size(), 6u);
    {
      InNetns in(pair_->serverNs());
      ASSERT_TRUE(in.ok());
      char errorText[256] = "untouched";
      iface_ = L2_Open(pair_->serverIf().c_str(), pair_->serverIf().c_str(), errorText);
      ASSERT_NE(iface_, nullptr) << errorText;
      EXPECT_STREQ(errorText, "");
    }
    ASSERT_TRUE(device_.Open(pair_->deviceNs(), pair_->deviceIf()));
  }
  void TearDown() override { L2_Close(iface_); }

  // Receives in 50 ms rounds until `count` frames arrived or 3 s passed.
  void ReceiveFrames(size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (received_.frames.size() < count && Clock::now() < deadline)
      ASSERT_EQ(L2_RxPkts(iface_, received_.Handler(), 50), 0);
  }

  std::unique_ptr<NetnsPair> pair_;
  Bytes serverMac_, deviceMac_;
  L2_If* iface_ = nullptr;
  PacketSocket device_;
  Received received_;
};

TEST_F(LinkNetnsTest, OpenTakesTheMacOfTheDevice) {
  EXPECT_EQ(Bytes(iface_->mac, iface_->mac + 6), serverMac_);
}

TEST_F(LinkNetnsTest, SentFramesArriveByteIdentical) {
  uint8_t storage[128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  std::memcpy(PktBufPut(buf, 14), kAdvertise.data(), 14);
  ASSERT_EQ(L2_TxPkt(iface_, kBroadcast, 0x0912, buf, nullptr), 0);

  auto frame = device_.Receive(2000);
  ASSERT_TRUE(frame.has_value());
  // 28 bytes on the wire: nothing pads it to the Ethernet minimum.
  EXPECT_EQ(*frame, Frame(Bytes(6, 0xff), serverMac_, 0x0912, kAdvertise));

  // The largest frame: 1500 bytes of payload.
  uint8_t big[1600];
  PktBufInit(buf, big, sizeof big);
  uint8_t* payload = PktBufPut(buf, 1500);
  Bytes expected(1500);
  for (int i = 0; i < 1500; ++i) expected[i] = payload[i] = static_cast<uint8_t>(i * 13);
  ASSERT_EQ(L2_TxPkt(iface_, deviceMac_.data(), 0x0800, buf, nullptr), 0);
  frame = device_.Receive(2000);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->size(), 1514u);
  EXPECT_EQ(*frame, Frame(deviceMac_, serverMac_, 0x0800, expected));
}

TEST_F(LinkNetnsTest, PeerFramesReachTheHandlerOwnFramesNever) {
  // Sent from the device end with the server's own MAC as source.
  ASSERT_TRUE(device_.Send(Frame(Bytes(6, 0xff), serverMac_, 0x0912, kAdvertise)));
  // Sent by the server itself.
  uint8_t storage[128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  std::memcpy(PktBufPut(buf, 14), kAdvertise.data(), 14);
  ASSERT_EQ(L2_TxPkt(iface_, deviceMac_.data(), 0x0912, buf, nullptr), 0);
  // Sent by another socket of the server's host on the same interface.
  PacketSocket bystander;
  ASSERT_TRUE(bystander.Open(pair_->serverNs(), pair_->serverIf()));
  ASSERT_TRUE(bystander.Send(Frame(deviceMac_, Bytes{0x02, 0, 0, 0, 0, 0x77}, 0x0912,
                                   kAdvertise)));
  // The device's frames: a bare 14-byte header, then a full message.
  const Bytes bare = Frame(serverMac_, deviceMac_, 0x0912, {});
  const Bytes full = Frame(serverMac_, deviceMac_, 0x0912, kAdvertise);
  ASSERT_TRUE(device_.Send(bare));
  ASSERT_TRUE(device_.Send(full));

  ReceiveFrames(2);
  // Anything that slipped through would have arrived by now.
  ASSERT_EQ(L2_RxPkts(iface_, received_.Handler(), 100), 0);
  ASSERT_EQ(received_.frames.size(), 2u);
  EXPECT_EQ(received_.frames[0], bare);
  EXPECT_EQ(received_.frames[1], full);
}

// IPv4 only while some transfer reads its replies from the capture; the
// holds are counted, so one transfer's end leaves another's in place.
TEST_F(LinkNetnsTest, OnlySkavAndHeldIpv4FramesAreCaptured) {
  const Bytes other = Frame(serverMac_, deviceMac_, 0x88b5, kAdvertise);
  const Bytes ipv4 = Frame(serverMac_, deviceMac_, 0x0800, Bytes(28, 0x45));
  const Bytes skav = Frame(serverMac_, deviceMac_, 0x0912, kAdvertise);
  auto sendAll = [&] {
    ASSERT_TRUE(device_.Send(other));
    ASSERT_TRUE(device_.Send(ipv4));
    ASSERT_TRUE(device_.Send(skav));
  };
  auto captured = [&] {
    received_.frames.clear();
    sendAll();
    ReceiveFrames(1);
    EXPECT_EQ(L2_RxPkts(iface_, received_.Handler(), 100), 0);
    return received_.frames;
  };
  EXPECT_EQ(captured(), std::vector<Bytes>({skav}));
  L2_HoldIpv4Capture(iface_);
  L2_HoldIpv4Capture(iface_);
  L2_ReleaseIpv4Capture(iface_);
  EXPECT_EQ(captured(), std::vector<Bytes>({ipv4, skav}));
  L2_ReleaseIpv4Capture(iface_);
  EXPECT_EQ(captured(), std::vector<Bytes>({skav}));
}

TEST_F(LinkNetnsTest, ZeroMillisecondsDeliversOneBatchOfTen) {
  PacketSocket witness;
  ASSERT_TRUE(witness.Open(pair_->serverNs(), pair_->serverIf()));
  for (uint8_t i = 0; i < 15; ++i) {
    Bytes payload = kAdvertise;
    payload.push_back(i);
    ASSERT_TRUE(device_.Send(Frame(serverMac_, deviceMac_, 0x0912, payload)));
  }
  // All 15 have reached the server's side once the witness has them.
  for (int i = 0; i < 15; ++i) ASSERT_TRUE(witness.Receive(2000).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  EXPECT_EQ(L2_RxPkts(iface_, received_.Handler(), 0), 0);
  EXPECT_EQ(received_.frames.size(), 10u);
  EXPECT_EQ(L2_RxPkts(iface_, received_.Handler(), 0), 0);
  ASSERT_EQ(received_.frames.size(), 15u);
  for (uint8_t i = 0; i < 15; ++i) EXPECT_EQ(received_.frames[i].back(), i);
}

TEST_F(LinkNetnsTest, IdleReceiveReturnsWhenItsTimeIsUp) {
  const auto start = Clock::now();
  EXPECT_EQ(L2_RxPkts(iface_, received_.Handler(), 100), 0);
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 100);
  // A blocking capture read would sit here until a frame came.
  EXPECT_LT(elapsed, 3000);
}

TEST_F(LinkNetnsTest, BreakLoopEndsAReceiveOnAnotherThread) {
  std::atomic<bool> started{false};
  auto result = std::async(std::launch::async, [&] {
    started = true;
    return L2_RxPkts(iface_, received_.Handler(), 30000);
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(L2_BreakLoop(iface_), 0);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(result.get(), 2);

  // A break while nobody receives ends the next receive at once, once.
  L2_BreakLoop(iface_);
  const auto start = Clock::now();
  EXPECT_EQ(L2_RxPkts(iface_, received_.Handler(), 30000), 2);
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_EQ(L2_RxPkts(iface_, received_.Handler(), 30), 0);
}

TEST_F(LinkNetnsTest, ManyThreadsSendOnOneHandle) {
  constexpr int kThreads = 4;
  constexpr int kFrames = 50;
  auto payloadOf = [](int thread, int seq) {
    Bytes p(200);
    p[0] = static_cast<uint8_t>(thread);
    p[1] = static_cast<uint8_t>(seq);
    for (size_t i = 2; i < p.size(); ++i) p[i] = static_cast<uint8_t>(thread * 31 + seq * 7 + i);
    return p;
  };

  auto collector = std::async(std::launch::async, [&] {
    std::vector<Bytes> frames;
    while (frames.size() < kThreads * kFrames) {
      auto f = device_.Receive(3000);
      if (!f) break;
      frames.push_back(*f);
    }
    return frames;
  });
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      uint8_t storage[512];
      for (int seq = 0; seq < kFrames; ++seq) {
        PktBuf buf;
        PktBufInit(buf, storage, sizeof storage);
        Bytes p = payloadOf(t, seq);
        std::memcpy(PktBufPut(buf, static_cast<int32_t>(p.size())), p.data(), p.size());
        if (L2_TxPkt(iface_, deviceMac_.data(), 0x0912, buf, nullptr) != 0) ++failures;
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);

  std::vector<Bytes> frames = collector.get();
  ASSERT_EQ(frames.size(), static_cast<size_t>(kThreads * kFrames));
  std::map<std::pair<int, int>, int> seen;
  for (const Bytes& f : frames) {
    ASSERT_GE(f.size(), 16u);
    const int t = f[14], seq = f[15];
    EXPECT_EQ(f, Frame(deviceMac_, serverMac_, 0x0912, payloadOf(t, seq)));
    ++seen[{t, seq}];
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kFrames));
}

TEST_F(LinkNetnsTest, GetIfIndexFindsTheVethByName) {
  InNetns in(pair_->serverNs());
  ASSERT_TRUE(in.ok());
  L2_If probe;
  const uint32_t index = L2_GetIfIndex(pair_->serverIf().c_str(), &probe);
  EXPECT_EQ(index, SysIfIndex(pair_->serverNs(), pair_->serverIf()));
  EXPECT_NE(index, 0u);
  EXPECT_EQ(Bytes(probe.mac, probe.mac + 6), serverMac_);
  EXPECT_EQ(L2_GetIfIndex(pair_->serverIf().c_str(), nullptr), index);
}

// Names that are prefixes of each other, the shorter one made last, so that
// a prefix compare meets the longer one first.
TEST(LinkIfIndexTest, ExactNameWinsOverALongerNameWithThatPrefix) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  const std::string& ns = pair.serverNs();
  ASSERT_EQ(NetnsPair::Exec(ns, "ip link add veth10 type veth peer name veth10p && "
                                "ip link add veth1 type veth peer name veth1p"),
            0);
  const uint32_t veth1 = SysIfIndex(ns, "veth1");
  const uint32_t veth10 = SysIfIndex(ns, "veth10");
  // Table order is ifindex order; the first link named "veth10..." is
  // whichever end of that pair the kernel registered first.
  const uint32_t firstVeth10 = std::min(veth10, SysIfIndex(ns, "veth10p"));
  ASSERT_LT(firstVeth10, veth1);

  InNetns in(ns);
  ASSERT_TRUE(in.ok());
  L2_If probe;
  EXPECT_EQ(L2_GetIfIndex("veth1", &probe), veth1);
  EXPECT_EQ(Bytes(probe.mac, probe.mac + 6), SysMac(ns, "veth1"));
  EXPECT_EQ(L2_GetIfIndex("veth10", &probe), veth10);
  EXPECT_EQ(Bytes(probe.mac, probe.mac + 6), SysMac(ns, "veth10"));
  // No exact name: the shrinking-prefix walk still finds a link, the first
  // in table order ("veth10x9z" -> "veth10" after one step; case ignored).
  EXPECT_EQ(L2_GetIfIndex("veth10x9z", nullptr), firstVeth10);
  EXPECT_EQ(L2_GetIfIndex("VETH10", nullptr), firstVeth10);
  EXPECT_EQ(L2_GetIfIndex("nosuchlink", nullptr), 0u);
  // An empty description matches nothing (not the loopback).
  EXPECT_EQ(L2_GetIfIndex("", nullptr), 0u);
}

TEST(LinkOpenTest, FailuresSayWhyAndLeaveNothingOpen) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  InNetns in(pair.serverNs());
  ASSERT_TRUE(in.ok());
  const int fdsBefore = OpenFdCount();

  char errorText[256] = "";
  EXPECT_EQ(L2_Open("nosuchdev0", "nosuchdev0", errorText), nullptr);
  EXPECT_STRNE(errorText, "");

  std::strcpy(errorText, "");
  EXPECT_EQ(L2_Open(pair.serverIf().c_str(), "nosuchlink", errorText), nullptr);
  EXPECT_STREQ(errorText, "Fail to get the interface's MAC");

  EXPECT_EQ(OpenFdCount(), fdsBefore);
}

// Capabilities belong to a thread: dropping CAP_NET_RAW from the effective
// set of one thread makes it an unprivileged caller without touching the
// rest of the test program.
TEST(LinkOpenTest, MissingCaptureRightsAreNamedWithTheRemedy) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok());
  std::string text;
  bool opened = true;
  bool dropped = false;
  std::thread([&] {
    InNetns in(pair.serverNs());
    if (!in.ok()) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return;
    data[0].effective &= ~(1u << CAP_NET_RAW);
    if (syscall(SYS_capset, &header, data) != 0) return;
    dropped = true;
    char errorText[256] = "";
    L2_If* iface = L2_Open(pair.serverIf().c_str(), pair.serverIf().c_str(), errorText);
    opened = iface != nullptr;
    L2_Close(iface);
    text = errorText;
  }).join();
  ASSERT_TRUE(dropped);
  EXPECT_FALSE(opened);
  EXPECT_NE(text.find("CAP_NET_RAW"), std::string::npos) << text;
  EXPECT_NE(text.find("root"), std::string::npos) << text;
  EXPECT_NE(text.find("setcap cap_net_raw,cap_net_admin+eip"), std::string::npos) << text;
}

}  // namespace
