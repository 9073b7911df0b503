// The frame layer over an in-memory port: frames sent byte for byte, the
// receive loop's drops, timing, breaks and capture errors.
#include "link/l2_if.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/memory_port.h"
#include "link/pkt_buf.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint8_t kOwnMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kPeerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// ADVERTISE: header 00 00 | code 01 | 00 | length 00 0e, then MAGIC-NO
// (type 00 01, length 00 08, "KSTN").
const Bytes kAdvertise = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0e, 0x00,
                          0x01, 0x00, 0x08, 0x4b, 0x53, 0x54, 0x4e};

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               Clock::now() - since)
                               .count());
}

class CapturingLog : public LogSink {
 public:
  void Append(const char* text, size_t len) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(text, len);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

class CapturingErrors : public ErrorSink {
 public:
  void Show(const char* text) override {
    std::lock_guard<std::mutex> lock(mu_);
    texts_.emplace_back(text);
    shown_ = true;
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_;
  }
  std::atomic<bool> shown_{false};

 private:
  std::mutex mu_;
  std::vector<std::string> texts_;
};

// Records the frames a receive hands over.
struct Received {
  std::vector<Bytes> frames;
  static int Handle(void* context, const L2_Frame& frame) {
    static_cast<Received*>(context)->frames.emplace_back(
        frame.bytes, frame.bytes + frame.length);
    return 0;
  }
  L2_RxHandler Handler() { return L2_RxHandler{&Received::Handle, this}; }
};

Bytes Frame(const uint8_t dst[6], const uint8_t src[6], uint16_t type,
            size_t payload) {
  Bytes f(14 + payload);
  std::memcpy(&f[0], dst, 6);
  std::memcpy(&f[6], src, 6);
  f[12] = static_cast<uint8_t>(type >> 8);
  f[13] = static_cast<uint8_t>(type);
  for (size_t i = 0; i < payload; ++i) f[14 + i] = static_cast<uint8_t>(i);
  return f;
}

class L2TxTest : public ::testing::Test {
 protected:
  void SetUp() override { iface_ = MakeMemoryIf(kOwnMac, &port_); }

  // Puts `payload` into `buf` over `storage` the way every sender starts.
  void Fill(PktBuf& buf, uint8_t* storage, int32_t size, const Bytes& payload) {
    PktBufInit(buf, storage, size);
    uint8_t* p = PktBufPut(buf, static_cast<int32_t>(payload.size()));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, payload.data(), payload.size());
  }

  std::unique_ptr<L2_If> iface_;
  MemoryPort* port_ = nullptr;
};

TEST_F(L2TxTest, AdvertiseGoesOutAs28BytesWithoutPadding) {
  uint8_t storage[128];
  PktBuf buf;
  Fill(buf, storage, sizeof storage, kAdvertise);

  ASSERT_EQ(L2_TxPkt(iface_.get(), kBroadcast, 0x0912, buf, nullptr), 0);

  const Bytes expected = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00,
                          0x00, 0x01, 0x09, 0x12, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0e,
                          0x00, 0x01, 0x00, 0x08, 0x4b, 0x53, 0x54, 0x4e};
  auto sent = port_->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], expected);
  // The header stays in the buffer, right in front of the payload.
  EXPECT_EQ(buf.len, 28);
  EXPECT_EQ(buf.data, storage + 64 - 14);
  EXPECT_EQ(Bytes(buf.data, buf.data + buf.len), expected);
}

TEST_F(L2TxTest, PayloadLimitIs1500Bytes) {
  uint8_t storage[1600];
  PktBuf buf;
  Bytes payload(1500);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  Fill(buf, storage, sizeof storage, payload);

  ASSERT_EQ(L2_TxPkt(iface_.get(), kPeerMac, 0x0800, buf, nullptr), 0);
  auto sent = port_->Sent();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].size(), 1514u);
  const Bytes header = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09, 0x02,
                        0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00};
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 14), header);
  EXPECT_EQ(Bytes(sent[0].begin() + 14, sent[0].end()), payload);

  // One byte more: refused, nothing sent, the buffer exactly as it was.
  port_->ClearSent();
  payload.push_back(0xaa);
  Fill(buf, storage, sizeof storage, payload);
  const PktBuf before = buf;
  const Bytes storageBefore(storage, storage + sizeof storage);
  EXPECT_EQ(L2_TxPkt(iface_.get(), kPeerMac, 0x0800, buf, nullptr), 4);
  EXPECT_TRUE(port_->Sent().empty());
  EXPECT_EQ(buf.head, before.head);
  EXPECT_EQ(buf.end, before.end);
  EXPECT_EQ(buf.data, before.data);
  EXPECT_EQ(buf.size, before.size);
  EXPECT_EQ(buf.len, before.len);
  EXPECT_EQ(Bytes(storage, storage + sizeof storage), storageBefore);
}

TEST_F(L2TxTest, HeaderWithoutHeadRoom) {
  // No head room but free storage behind: the payload moves to the end of
  // the storage and the frame still goes out whole.
  uint8_t storage[40];
  PktBuf buf;
  buf.head = storage;
  buf.end = storage + sizeof storage;
  buf.size = sizeof storage;
  buf.data = storage;
  buf.len = static_cast<int32_t>(kAdvertise.size());
  std::memcpy(storage, kAdvertise.data(), kAdvertise.size());

  ASSERT_EQ(L2_TxPkt(iface_.get(), kBroadcast, 0x0912, buf, nullptr), 0);
  Bytes expected = Frame(kBroadcast, kOwnMac, 0x0912, 0);
  expected.insert(expected.end(), kAdvertise.begin(), kAdvertise.end());
  auto sent = port_->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], expected);
  EXPECT_EQ(buf.data + buf.len, buf.end);

  // Storage too small for the 14 header bytes at all: 5, nothing sent.
  port_->ClearSent();
  uint8_t tight[20];
  buf.head = tight;
  buf.end = tight + sizeof tight;
  buf.size = sizeof tight;
  buf.data = tight + 2;
  buf.len = 14;
  std::memcpy(buf.data, kAdvertise.data(), 14);
  EXPECT_EQ(L2_TxPkt(iface_.get(), kBroadcast, 0x0912, buf, nullptr), 5);
  EXPECT_TRUE(port_->Sent().empty());
}

TEST_F(L2TxTest, PortFailureGives6AndLogsNothing) {
  uint8_t storage[128];
  PktBuf buf;
  Fill(buf, storage, sizeof storage, kAdvertise);
  CapturingLog log;
  port_->SetSendFailure(true);
  EXPECT_EQ(L2_TxPkt(iface_.get(), kPeerMac, 0x0912, buf, &log), 6);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(L2TxTest, OnlySentSkavFramesAreDumpedToTheLogWindow) {
  CapturingLog log;
  uint8_t storage[128];
  PktBuf buf;

  Fill(buf, storage, sizeof storage, kAdvertise);
  ASSERT_EQ(L2_TxPkt(iface_.get(), kBroadcast, 0x0912, buf, &log), 0);
  // An IPv4 frame is never dumped, whatever it holds.
  Fill(buf, storage, sizeof storage, kAdvertise);
  ASSERT_EQ(L2_TxPkt(iface_.get(), kPeerMac, 0x0800, buf, &log), 0);
  // A SKAV payload that does not parse (5 bytes) is still sent, then reported
  // with the destination MAC.
  Fill(buf, storage, sizeof storage, Bytes{0x00, 0x00, 0x05, 0x00, 0x00});
  ASSERT_EQ(L2_TxPkt(iface_.get(), kPeerMac, 0x0912, buf, &log), 0);

  EXPECT_EQ(port_->Sent().size(), 3u);
  const std::vector<std::string> expected = {
      "[ff-ff-ff-ff-ff-ff] TX SKAV ADVERTISE: MAGIC-NO(0x4b53544e) \r\n",
      "[Error] TX invalid SKAV msg to 02-00-00-00-00-09 (1)\r\n",
  };
  EXPECT_EQ(log.Lines(), expected);
}

class L2RxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    iface_ = MakeMemoryIf(kOwnMac, &port_);
    SetErrorSink(&errors_);
  }
  void TearDown() override { SetErrorSink(nullptr); }

  std::unique_ptr<L2_If> iface_;
  MemoryPort* port_ = nullptr;
  CapturingErrors errors_;
  Received received_;
};

TEST_F(L2RxTest, RuntAndOwnFramesNeverReachTheHandler) {
  Bytes runt = Frame(kBroadcast, kPeerMac, 0x0912, 0);
  runt.pop_back();  // 13 bytes
  const Bytes own = Frame(kBroadcast, kOwnMac, 0x0912, 14);
  const Bytes bare = Frame(kOwnMac, kPeerMac, 0x0912, 0);  // 14 bytes
  port_->Inject(runt);
  port_->Inject(own);
  port_->Inject(bare);

  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 0), 0);
  ASSERT_EQ(received_.frames.size(), 1u);
  EXPECT_EQ(received_.frames[0], bare);
}

TEST_F(L2RxTest, ZeroMillisecondsMakesExactlyOneDispatch) {
  for (int i = 0; i < 15; ++i)
    port_->Inject(Frame(kOwnMac, kPeerMac, 0x0912, 6 + i));
  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 0), 0);
  EXPECT_EQ(port_->DispatchCalls(), 1);
  EXPECT_EQ(received_.frames.size(), 10u);

  // An idle link too: one look, then back.
  MemoryPort* idle = nullptr;
  auto quiet = MakeMemoryIf(kOwnMac, &idle);
  EXPECT_EQ(L2_RxPkts(quiet.get(), received_.Handler(), 0), 0);
  EXPECT_EQ(idle->DispatchCalls(), 1);
}

TEST_F(L2RxTest, ReceivesUntilTheTimeRunsOut) {
  const Bytes late = Frame(kOwnMac, kPeerMac, 0x0800, 20);
  std::thread injector([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    port_->Inject(late);
  });
  const auto start = Clock::now();
  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 150), 0);
  const long elapsed = ElapsedMs(start);
  injector.join();
  EXPECT_GE(elapsed, 150);
  ASSERT_EQ(received_.frames.size(), 1u);
  EXPECT_EQ(received_.frames[0], late);
}

// Room for a machine under load: far above a slice of 10 ms, far below the
// times the faults below would take.
constexpr long kLoadRoomMs = 500;

TEST_F(L2RxTest, ReturnsCloseToItsTimeWhileFramesKeepComing) {
  // A receive that counted its time anew from each frame would return only
  // when the frames stop, three seconds on.
  std::atomic<bool> stop{false};
  std::thread injector([&] {
    const auto end = Clock::now() + std::chrono::seconds(3);
    for (uint8_t i = 0; !stop && Clock::now() < end; ++i) {
      port_->Inject(Frame(kOwnMac, kPeerMac, 0x0912, 6 + i % 8));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const auto start = Clock::now();
  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 200), 0);
  const long elapsed = ElapsedMs(start);
  stop = true;
  injector.join();
  EXPECT_GE(elapsed, 200);
  EXPECT_LT(elapsed, 200 + kLoadRoomMs);
  EXPECT_FALSE(received_.frames.empty());
}

TEST_F(L2RxTest, BreakBeforeReceiveEndsTheNextOneOnce) {
  EXPECT_EQ(L2_BreakLoop(iface_.get()), 0);
  const auto start = Clock::now();
  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 10000), 2);
  EXPECT_LT(ElapsedMs(start), 5000);
  // The break was used up: the next receive runs its time.
  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 20), 0);

  // A pending break also ends a receive without time.
  L2_BreakLoop(iface_.get());
  EXPECT_EQ(L2_RxPkts(iface_.get(), received_.Handler(), 0), 2);
}

TEST_F(L2RxTest, BreakFromAnotherThreadEndsTheRunningReceive) {
  std::atomic<bool> started{false};
  auto result = std::async(std::launch::async, [&] {
    started = true;
    return L2_RxPkts(iface_.get(), received_.Handler(), 30000);
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto broken = Clock::now();
  L2_BreakLoop(iface_.get());
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // Within a slice, give or take a loaded machine.
  EXPECT_LT(ElapsedMs(broken), kLoadRoomMs);
  EXPECT_EQ(result.get(), 2);
}

// A port whose capture fails at every dispatch while frames wait, so that
// every wait reports them as readable at once.
class FailingPort : public MemoryPort {
 public:
  int Dispatch(int, FrameCallback, void*) override {
    ++dispatches;
    return -1;
  }
  WaitResult Wait(int ms) override {
    ++waits;
    return MemoryPort::Wait(ms);
  }
  std::atomic<int> dispatches{0};
  std::atomic<int> waits{0};
};

std::unique_ptr<L2_If> MakeFailingIf(FailingPort** port) {
  auto iface = std::make_unique<L2_If>();
  std::memcpy(iface->mac, kOwnMac, 6);
  auto owned = std::make_unique<FailingPort>();
  *port = owned.get();
  owned->Inject(Frame(kOwnMac, kPeerMac, 0x0912, 6));
  iface->port = std::move(owned);
  return iface;
}

TEST_F(L2RxTest, CaptureErrorIsShownAndTheTimeWaitedOut) {
  FailingPort* port = nullptr;
  auto iface = MakeFailingIf(&port);

  const auto start = Clock::now();
  EXPECT_EQ(L2_RxPkts(iface.get(), received_.Handler(), 200), 3);
  // With an error sink that returns at once the caller's loop would spin if
  // the receive came back early.
  EXPECT_GE(ElapsedMs(start), 200);
  EXPECT_EQ(errors_.Texts(), std::vector<std::string>{"Failure in pcap_dispatch()"});
  EXPECT_EQ(port->dispatches.load(), 1);
  // The frame stays readable the whole time; the wait-out must not poll it
  // in a tight loop (slices of 10 ms give about 20 waits).
  EXPECT_LT(port->waits.load(), 100);
  EXPECT_TRUE(received_.frames.empty());

  // Without time: one dispatch, the message, 3.
  EXPECT_EQ(L2_RxPkts(iface.get(), received_.Handler(), 0), 3);
  EXPECT_EQ(errors_.Texts().size(), 2u);
}

TEST_F(L2RxTest, BreakEndsTheWaitAfterACaptureError) {
  FailingPort* port = nullptr;
  auto iface = MakeFailingIf(&port);
  auto result = std::async(std::launch::async, [&] {
    return L2_RxPkts(iface.get(), received_.Handler(), 30000);
  });
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!errors_.shown_ && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(errors_.shown_);
  const auto broken = Clock::now();
  L2_BreakLoop(iface.get());
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(ElapsedMs(broken), kLoadRoomMs);
  EXPECT_EQ(result.get(), 3);
}

}  // namespace
