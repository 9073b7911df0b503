// The server thread on an in-memory port: the advertisement, which frames
// create clients and reach them, Stop, Clear and the pool across runs.
#include "protocol/server_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "link/memory_port.h"
#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "support/server_run.h"

namespace {

using server_run::Bytes;
using server_run::Frame;
using server_run::NewClientLine;
using server_run::PanelMirror;
using server_run::ServerRun;
using server_run::TextLog;
using server_run::ThreadCount;
using server_run::WaitFor;

const uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// ADVERTISE as it must appear on the wire, written out by hand: broadcast,
// the server's MAC, EtherType 0x0912; Reserved 0, Code 1, reserved 0,
// Length 14; MAGIC-NO (type 1, length 8) "KSTN".
const Bytes kAdvertiseFrame = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00,
    0x00, 0x01, 0x09, 0x12, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0e,
    0x00, 0x01, 0x00, 0x08, 0x4b, 0x53, 0x54, 0x4e};

struct Mac {
  uint8_t b[6];
};
Mac Dev(uint8_t last) { return Mac{{0x00, 0x00, 0x00, 0x00, 0x00, last}}; }

Bytes ConfReq(const Mac& from) {
  return Frame(kServerMac, from.b, 0x0912, {0x00, 0x00, 0x02, 0x00, 0x00, 0x06});
}
// Coded CONF-REQ, but DEV-IP carries 4 value bytes instead of 8.
Bytes MalformedConfReq(const Mac& from) {
  return Frame(kServerMac, from.b, 0x0912,
               {0x00, 0x00, 0x02, 0x00, 0x00, 0x0e, 0x00, 0x02, 0x00, 0x08,
                0x0a, 0x00, 0x00, 0x02});
}
Bytes KeepAliveReq(const Mac& from) {
  return Frame(kServerMac, from.b, 0x0912, {0x00, 0x00, 0x06, 0x00, 0x00, 0x06});
}

uint8_t gFirmware[4] = {0xde, 0xad, 0xbe, 0xef};

// A log file of its own in /tmp, kept by the context while it lives.
class TempLog {
 public:
  explicit TempLog(LogFile& file) : file_(file) {
    char pattern[] = "/tmp/skav-thread-log-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    path_ = pattern;
    OpenLogFile(file_, path_);
  }
  ~TempLog() {
    CloseLogFile(file_);
    unlink(path_.c_str());
  }
  // What the server thread has written to it so far.
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  LogFile& file_;
  std::string path_;
};

class ServerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    iface_ = MakeMemoryIf(kServerMac, &port_);
    ctx_.link = iface_.get();
    slot_.store(&log_);
    ctx_.logSlot = &slot_;
    status_.SetListener(&panel_);
    ctx_.statusCtl = &status_;
    ctx_.panel.Set(sortKey, kSortMacUp);
    SKAVDResetPoolForTest();
  }

  /// Frames the server sent to `mac` with SKAV code `code`.
  int SentTo(const Mac& mac, uint8_t code) const {
    int n = 0;
    for (const Bytes& f : port_->Sent())
      n += f.size() >= 20 && std::equal(mac.b, mac.b + 6, f.begin()) &&
           f[12] == 0x09 && f[13] == 0x12 && f[16] == code;
    return n;
  }
  std::vector<Bytes> Broadcasts() const {
    std::vector<Bytes> out;
    for (const Bytes& f : port_->Sent())
      if (std::equal(kBroadcast, kBroadcast + 6, f.begin())) out.push_back(f);
    return out;
  }

  MemoryPort* port_ = nullptr;
  std::unique_ptr<L2_If> iface_;
  TextLog log_;
  LogSlot slot_{nullptr};
  StatusText status_;
  PanelMirror panel_;
  SKAVDContext ctx_;
};

TEST_F(ServerThreadTest, AdvertisesTheSame28ByteFrameEveryCycle) {
  ServerRun run(ctx_);
  ASSERT_TRUE(WaitFor([&] { return port_->Sent().size() >= 3; }));
  ASSERT_TRUE(run.Stop());
  auto sent = port_->Sent();
  for (size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(sent[i], kAdvertiseFrame) << "frame " << i;
  EXPECT_EQ(run.result(), 0);
}

// A port that cannot send (no link) fails every cycle: said once with the
// reason in words, and once more when advertisements go out again.
TEST_F(ServerThreadTest, FailedAdvertisesAreToldOnceAndTheNextCycleSendsItIntact) {
  port_->SetSendFailure(true);
  ServerRun run(ctx_);
  ASSERT_TRUE(WaitFor([&] { return ctx_.counters.cycles.load() >= 3; }));
  port_->SetSendFailure(false);
  ASSERT_TRUE(WaitFor([&] { return port_->Sent().size() >= 2; }));
  ASSERT_TRUE(run.Stop());
  for (const Bytes& f : port_->Sent()) EXPECT_EQ(f, kAdvertiseFrame);
  EXPECT_EQ(log_.Count("[Error] Fail to send Advertisement (6): the interface cannot send ("), 1)
      << log_.Text();
  EXPECT_EQ(log_.Count("Advertisements go out again ("), 1) << log_.Text();
}

// A capture that fails at every dispatch while it is set; a frame waits
// throughout, so every wait finds something to read at once.
class FailingCapture : public MemoryPort {
 public:
  int Dispatch(int count, FrameCallback callback, void* user) override {
    return failing ? -1 : MemoryPort::Dispatch(count, callback, user);
  }
  std::atomic<bool> failing{true};
};

class CountingErrors : public ErrorSink {
 public:
  CountingErrors() { SetErrorSink(this); }
  ~CountingErrors() override { SetErrorSink(nullptr); }
  void Show(const char* text) override {
    if (std::string(text) == "Failure in pcap_dispatch()") ++shown;
  }
  std::atomic<int> shown{0};
};

TEST_F(ServerThreadTest, CaptureFailuresAreReportedEachCycleAndTheRhythmHolds) {
  auto iface = std::make_unique<L2_If>();
  std::memcpy(iface->mac, kServerMac, 6);
  auto owned = std::make_unique<FailingCapture>();
  FailingCapture* capture = owned.get();
  iface->port = std::move(owned);
  std::mutex mu;
  std::vector<std::chrono::steady_clock::time_point> advertised;
  capture->SetSendHook([&](const uint8_t* frame, int len) {
    if (len >= 17 && frame[16] == 0x01) {
      std::lock_guard<std::mutex> lock(mu);
      advertised.push_back(std::chrono::steady_clock::now());
    }
  });
  capture->Inject(KeepAliveReq(Dev(0x70)));
  ctx_.link = iface.get();
  CountingErrors errors;
  const std::string line = "[Error] Fail to receive L2 packets\r\n";

  ServerRun run(ctx_);
  ASSERT_TRUE(WaitFor([&] { return log_.Count(line) >= 4; }, std::chrono::seconds(10)));
  // Each cycle: ADVERTISE, a receive that fails, is reported and waits out
  // its 500 ms, the line. Neither a spin nor a stall.
  {
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_GE(advertised.size(), 4u);
    for (size_t i = 1; i < advertised.size(); ++i) {
      const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(
          advertised[i] - advertised[i - 1]).count();
      EXPECT_GE(gap, 450) << "cycle " << i;
      EXPECT_LT(gap, 1000) << "cycle " << i;
    }
  }
  EXPECT_GE(errors.shown.load(), 4);
  EXPECT_LE(errors.shown.load(), log_.Count(line) + 1);

  // Once the capture works again, so does the server.
  capture->failing = false;
  capture->Inject(ConfReq(Dev(0x71)));
  EXPECT_TRUE(WaitFor([&] { return log_.Has("New client: 00-00-00-00-00-71"); }));
  ASSERT_TRUE(run.Stop());
}

TEST_F(ServerThreadTest, ConfReqFromANewMacCreatesAClientWith10_0_0_2) {
  ServerRun run(ctx_);
  const Mac dev = Dev(0x0a);
  port_->Inject(ConfReq(dev));
  ASSERT_TRUE(WaitFor([&] { return log_.Has(NewClientLine(dev.b, "10.0.0.2")); }));
  // The posted copy reached the client: it answers with its address.
  ASSERT_TRUE(WaitFor([&] { return SentTo(dev, 0x03) == 1; }));
  const Bytes confAck = {0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x02, 0x00,
                         0x00, 0x00, 0x00, 0x01, 0x09, 0x12, 0x00, 0x00,
                         0x03, 0x00, 0x00, 0x12, 0x00, 0x02, 0x00, 0x0c,
                         0x0a, 0x00, 0x00, 0x02, 0xff, 0x00, 0x00, 0x00};
  for (const Bytes& f : port_->Sent()) {
    if (!std::equal(kBroadcast, kBroadcast + 6, f.begin())) {
      EXPECT_EQ(f, confAck);
    }
  }
  ASSERT_TRUE(run.Stop());
}

TEST_F(ServerThreadTest, FramesThatMayNotCreateAClientCreateNothing) {
  ServerRun run(ctx_);
  // None of these may create a client or take an address.
  port_->Inject(KeepAliveReq(Dev(0x01)));
  port_->Inject(Frame(kServerMac, Dev(0x02).b, 0x0912,  // TFTP-UL-REQ
                      {0x00, 0x00, 0x10, 0x00, 0x00, 0x06}));
  port_->Inject(Frame(kServerMac, Dev(0x03).b, 0x0912,  // CLOSE-REQ
                      {0x00, 0x00, 0x04, 0x00, 0x00, 0x06}));
  port_->Inject(Frame(kServerMac, Dev(0x04).b, 0x0800,  // IPv4/UDP to 10.0.0.1
                      {0x45, 0x00, 0x00, 0x20, 0x00, 0x01, 0x00, 0x00,
                       0x40, 0x11, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x02,
                       0x0a, 0x00, 0x00, 0x01, 0x04, 0x00, 0x04, 0x00,
                       0x00, 0x0c, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00}));
  port_->Inject(Frame(kServerMac, Dev(0x05).b, 0x0912,  // 19 bytes, Code 2
                      {0x00, 0x00, 0x02, 0x00, 0x00}));
  port_->Inject(Frame(kBroadcast, Dev(0x06).b, 0x0806,  // ARP request
                      {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x0a, 0x00,
                       0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x0a, 0x00, 0x00, 0x01}));
  port_->Inject(Frame(kServerMac, Dev(0x07).b, 0x88b5,  // CONF-REQ bytes
                      {0x00, 0x00, 0x02, 0x00, 0x00, 0x06}));
  port_->Inject(Frame(kServerMac, Dev(0x08).b, 0x86dd,  // IPv6
                      {0x60, 0x00, 0x02, 0x00, 0x00, 0x06}));
  // Frames are handled in order: once this one's client exists, every
  // frame above has been seen and dropped.
  const Mac marker = Dev(0x7e);
  port_->Inject(ConfReq(marker));
  ASSERT_TRUE(WaitFor([&] { return log_.Has("New client: "); }));
  EXPECT_EQ(log_.Count("New client: "), 1);
  EXPECT_EQ(log_.Text().rfind(NewClientLine(marker.b, "10.0.0.2"), 0), 0u)
      << log_.Text();
  ASSERT_TRUE(run.Stop());
}

TEST_F(ServerThreadTest, OnlySkavAndIpv4FramesReachAnExistingClient) {
  ServerRun run(ctx_);
  const Mac dev = Dev(0x0b);
  port_->Inject(ConfReq(dev));
  ASSERT_TRUE(WaitFor([&] { return SentTo(dev, 0x03) == 1; }));
  // Each of these would draw a second CONF-ACK or a parse failure if it
  // reached the client.
  port_->Inject(Frame(kServerMac, dev.b, 0x0806,
                      {0x00, 0x00, 0x02, 0x00, 0x00, 0x06}));
  port_->Inject(Frame(kServerMac, dev.b, 0x0912, {0x00, 0x00, 0x02, 0x00, 0x00}));
  port_->Inject(KeepAliveReq(dev));
  ASSERT_TRUE(WaitFor([&] { return SentTo(dev, 0x07) == 1; }));
  EXPECT_EQ(SentTo(dev, 0x03), 1);
  EXPECT_FALSE(log_.Has("SKAV_MsgParsing() fails"));
  EXPECT_EQ(log_.Count("New client: "), 1);
  ASSERT_TRUE(run.Stop());
}

TEST_F(ServerThreadTest, StopDuringTheWaitEndsEveryClientThreadFirst) {
  const int baseThreads = ThreadCount();
  ServerRun run(ctx_);
  for (uint8_t last = 0x21; last <= 0x23; ++last) port_->Inject(ConfReq(Dev(last)));
  ASSERT_TRUE(WaitFor([&] {
    return SentTo(Dev(0x21), 3) + SentTo(Dev(0x22), 3) + SentTo(Dev(0x23), 3) == 3;
  }));
  EXPECT_EQ(ThreadCount(), baseThreads + 4);  // the server and three clients

  EXPECT_TRUE(run.Stop(true, std::chrono::milliseconds(1500)))
      << "Stop did not end the server within a cycle";
  EXPECT_EQ(run.result(), 0);
  EXPECT_EQ(run.threadsAtReturn(), baseThreads + 1)
      << "client threads were still running when the server thread returned";
  EXPECT_EQ(gClientList, nullptr);
}

TEST_F(ServerThreadTest, StopWithoutAWakeUpEndsWithinACycle) {
  ServerRun run(ctx_);
  ASSERT_TRUE(WaitFor([&] { return !port_->Sent().empty(); }));
  EXPECT_TRUE(run.Stop(false, std::chrono::milliseconds(1500)));
}

TEST_F(ServerThreadTest, ClearRemovesFalseCreationsAndKeepsReworkingClients) {
  ctx_.images.buf[0] = gFirmware;  // so a false creation's outcome is Error
  ctx_.images.len[0] = sizeof gFirmware;
  ServerRun run(ctx_);
  const Mac good = Dev(0x31), bad = Dev(0x32);
  port_->Inject(ConfReq(good));
  port_->Inject(MalformedConfReq(bad));
  // The exit of the false creation is shown at once, as an Error.
  ASSERT_TRUE(WaitFor([&] {
    std::string text = panel_.Text();
    return text.find("00-00-00-00-00-32: Error    ") != std::string::npos &&
           text.find("00-00-00-00-00-31: Reworking") != std::string::npos;
  }));

  ctx_.panel.Set(refreshRequest, 2);
  L2_BreakLoop(ctx_.link);
  ASSERT_TRUE(WaitFor([&] {
    return ctx_.panel.Get(refreshRequest) == 0 &&
           panel_.Text().find("00-00-00-00-00-32") == std::string::npos;
  }));
  EXPECT_NE(panel_.Text().find("00-00-00-00-00-31: Reworking"), std::string::npos);

  // The device is no longer held by a dead client: a proper CONF-REQ now
  // gets it served, with a new address.
  port_->Inject(ConfReq(bad));
  ASSERT_TRUE(WaitFor([&] { return log_.Has(NewClientLine(bad.b, "10.0.0.4")); }));
  ASSERT_TRUE(WaitFor([&] { return SentTo(bad, 0x03) == 1; }));
  ASSERT_TRUE(run.Stop());
}

TEST_F(ServerThreadTest, SortRequestRebuildsThePanelAndIsWithdrawn) {
  ServerRun run(ctx_);
  port_->Inject(ConfReq(Dev(0x41)));
  port_->Inject(ConfReq(Dev(0x42)));
  ASSERT_TRUE(WaitFor([&] {
    return panel_.Text().find("00-00-00-00-00-42") != std::string::npos &&
           panel_.Text().find("00-00-00-00-00-41") != std::string::npos;
  }));
  ctx_.panel.Set(sortKey, kSortMacDown);
  ctx_.panel.Set(refreshRequest, 1);
  L2_BreakLoop(ctx_.link);
  // The server takes the request before it rebuilds: a zero alone does not
  // yet mean the panel has its new order.
  EXPECT_TRUE(WaitFor([&] {
    const std::string text = panel_.Text();
    return ctx_.panel.Get(refreshRequest) == 0 &&
           text.find("00-00-00-00-00-42") < text.find("00-00-00-00-00-41");
  }));
  ASSERT_TRUE(run.Stop());
}

TEST_F(ServerThreadTest, PoolCarriesOverAcrossStopAndStart) {
  const Mac dev = Dev(0x51);
  {
    ServerRun run(ctx_);
    port_->Inject(ConfReq(dev));
    ASSERT_TRUE(WaitFor([&] { return log_.Has(NewClientLine(dev.b, "10.0.0.2")); }));
    ASSERT_TRUE(run.Stop());
  }
  {
    // A new run starts with an empty table, but not with a fresh pool.
    ServerRun run(ctx_);
    port_->Inject(ConfReq(dev));
    ASSERT_TRUE(WaitFor([&] { return log_.Has(NewClientLine(dev.b, "10.0.0.3")); }));
    ASSERT_TRUE(run.Stop());
  }
  EXPECT_EQ(log_.Count("New client: "), 2);
}

TEST_F(ServerThreadTest, FinishedDevicesGoToTheOpenLogFile) {
  ctx_.images.buf[0] = gFirmware;
  ctx_.images.len[0] = sizeof gFirmware;
  TempLog file(ctx_.logFile);
  {
    ServerRun run(ctx_);
    port_->Inject(MalformedConfReq(Dev(0x61)));
    ASSERT_TRUE(WaitFor([&] { return log_.Has("false creation"); }));
    // Written in the cycle after the exit; the outcome mark shows it.
    ASSERT_TRUE(WaitFor([&] {
      return file.Text().find("00-00-00-00-00-61: Error") != std::string::npos;
    }));
    ASSERT_TRUE(run.Stop());
  }
}

TEST_F(ServerThreadTest, StopLogsEveryUnfinishedClientAsErrorOnceAndSaysSo) {
  ctx_.images.buf[0] = gFirmware;
  ctx_.images.len[0] = sizeof gFirmware;
  TempLog file(ctx_.logFile);
  const Mac closed = Dev(0x71), active = Dev(0x72);
  {
    ServerRun run(ctx_);
    port_->Inject(MalformedConfReq(closed));
    port_->Inject(ConfReq(active));
    ASSERT_TRUE(WaitFor([&] {
      return file.Text().find("00-00-00-00-00-71: Error") != std::string::npos &&
             SentTo(active, 0x03) == 1;
    }));
    ASSERT_TRUE(run.Stop());
  }
  const std::string text = file.Text();
  EXPECT_EQ(server_run::TextLog::CountIn(text, "00-00-00-00-00-71: Error   \r\n"), 1) << text;
  EXPECT_EQ(server_run::TextLog::CountIn(text, "00-00-00-00-00-72: Error   \r\n"), 1) << text;
  EXPECT_LT(text.find("00-00-00-00-00-71"), text.find("00-00-00-00-00-72")) << text;
  EXPECT_EQ(log_.Count("[00-00-00-00-00-72] interrupted by the stop, outcome: Error\r\n"), 1);
  EXPECT_EQ(log_.Count("interrupted by the stop"), 1) << log_.Text();
}

TEST_F(ServerThreadTest, FinishedClientsEndTheirThreadsAndStayOnThePanel) {
  ctx_.images.buf[0] = gFirmware;  // so a false creation's outcome is Error
  ctx_.images.len[0] = sizeof gFirmware;
  const int baseThreads = ThreadCount();
  ServerRun run(ctx_);
  constexpr int kDevices = 10;
  for (int i = 0; i < kDevices; ++i)
    port_->Inject(MalformedConfReq(Dev(static_cast<uint8_t>(0x71 + i))));
  // Without Clear: each reaches Closed at once, and its thread is gone a
  // cycle later while its line stays.
  ASSERT_TRUE(WaitFor([&] {
    return server_run::TextLog::CountIn(panel_.Text(), ": Error    ") == kDevices &&
           ThreadCount() == baseThreads + 1;
  })) << panel_.Text() << "threads: " << ThreadCount() - baseThreads;

  // A finished device's frames are dropped: no second client, no answer.
  port_->Inject(ConfReq(Dev(0x71)));
  const Mac marker = Dev(0x7e);
  port_->Inject(ConfReq(marker));
  ASSERT_TRUE(WaitFor([&] { return SentTo(marker, 0x03) == 1; }));
  EXPECT_EQ(SentTo(Dev(0x71), 0x03), 0);
  EXPECT_EQ(log_.Count("New client: "), kDevices + 1);
  ASSERT_TRUE(run.Stop());
  ctx_.images.buf[0] = nullptr;
  ctx_.images.len[0] = 0;
}

TEST_F(ServerThreadTest, NewDevicesPastTheCeilingAreTurnedAwayUntilAClientCloses) {
  ctx_.maxLiveClients = 3;
  const int baseThreads = ThreadCount();
  const auto began = std::chrono::steady_clock::now();
  ServerRun run(ctx_);
  for (uint8_t i = 0; i < 3; ++i) port_->Inject(ConfReq(Dev(0x81 + i)));
  ASSERT_TRUE(WaitFor([&] { return log_.Count("New client: ") == 3; }));
  // A flood of invented MACs, repeated: none gets a client or an answer,
  // and the count is said at most once a second.
  for (int round = 0; round < 3; ++round)
    for (uint8_t i = 0; i < 20; ++i) port_->Inject(ConfReq(Dev(0x90 + i)));
  const auto turnedAway = [&] {
    const std::string text = log_.Text();
    const std::string tail =
        " CONF-REQ from new devices turned away: 3 devices are being served, the most at "
        "once\r\n";
    long sum = 0;
    for (size_t at = text.find("[Error] "); at != std::string::npos;
         at = text.find("[Error] ", at + 1)) {
      char* end = nullptr;
      const long n = std::strtol(text.c_str() + at + 8, &end, 10);
      if (text.compare(end - text.c_str(), tail.size(), tail) == 0) sum += n;
    }
    return sum;
  };
  ASSERT_TRUE(WaitFor([&] { return turnedAway() == 60; })) << log_.Text();
  EXPECT_EQ(ThreadCount(), baseThreads + 1 + 3);
  const size_t adverts = Broadcasts().size();
  EXPECT_TRUE(WaitFor([&] { return Broadcasts().size() >= adverts + 2; },
                      std::chrono::milliseconds(1500)));
  for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(SentTo(Dev(0x90 + i), 0x03), 0);
  // A device already served is still answered at the ceiling.
  port_->Inject(KeepAliveReq(Dev(0x81)));
  ASSERT_TRUE(WaitFor([&] { return log_.Has("[00-00-00-00-00-81] RX SKAV KEEP-ALIVE-REQ"); }));

  // One closes (CLOSE-REQ, then the closing wait): its place is free again.
  port_->Inject(Frame(kServerMac, Dev(0x82).b, 0x0912, {0x00, 0x00, 0x04, 0x00, 0x00, 0x06}));
  const Mac late = Dev(0xa0);
  int polls = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        if (polls++ % 50 == 0) port_->Inject(ConfReq(late));  // every 0.1 s
        return SentTo(late, 0x03) >= 1;
      },
      std::chrono::seconds(15)))
      << log_.Text();
  EXPECT_EQ(log_.Count("New client: "), 4);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - began)
                           .count();
  EXPECT_LE(log_.Count("turned away"), 1 + seconds) << log_.Text();
  ASSERT_TRUE(run.Stop());
}

}  // namespace
