// The live counters of a client's transfers, driven through the state
// machine ACK by ACK: what another thread reads of them at every step, and
// while a transfer runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "support/client_harness.h"

using namespace harness;

namespace {

struct ProgressTest : ::testing::Test {
  void SetUp() override { clientExited.store(0); }
  Rig rig;
};

void ExpectBlocks(const DeviceLive& live, int image, uint32_t acked, uint32_t total,
                  const char* when) {
  const BlockCount b = live.Blocks();
  EXPECT_EQ(b.image, image) << when;
  EXPECT_EQ(b.acked, acked) << when;
  EXPECT_EQ(b.total, total) << when;
}

// Waits (with a deadline) until the reader has taken another sample, so that
// its readings fall between the ACKs and not only before or after them.
void SeenBy(const std::atomic<long>& samples) {
  const long before = samples.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (samples.load() < before + 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
}

}  // namespace

TEST_F(ProgressTest, AcknowledgedMovesWithEachAckAndStartsAgainPerImage) {
  rig.SetImage(0, Pattern(1300));    // DATA 512, 512, 276
  rig.SetImage(1, Pattern(700, 9));  // DATA 512, 188
  TimedClient& c = rig.MakeClient();
  const DeviceLive& live = *c.live;
  ExpectBlocks(live, -1, 0, 0, "before any request");

  Skav(c, kConfReq);
  Skav(c, kUlReq);
  ExpectBlocks(live, 0, 0, 3, "WRQ sent");
  EXPECT_EQ(live.Result(0), ImageResult::kInFlight);
  DeviceAck(c, 0);
  ExpectBlocks(live, 0, 0, 3, "ACK 0 answers the WRQ, not a block");
  DeviceAck(c, 1);
  ExpectBlocks(live, 0, 1, 3, "ACK 1");
  DeviceAck(c, 1);
  DeviceAck(c, 3);
  ExpectBlocks(live, 0, 1, 3, "a duplicate and an early ACK move nothing");
  EXPECT_EQ(live.bytes.load(), 512u);
  DeviceAck(c, 2);
  DeviceAck(c, 3);
  ExpectBlocks(live, 0, 3, 3, "final ACK");
  EXPECT_EQ(live.bytes.load(), 1300u);
  EXPECT_EQ(live.Result(0), ImageResult::kSent);

  Skav(c, UlReq("string table 1"));
  ExpectBlocks(live, 1, 0, 2, "next image");
  DeviceAck(c, 0);
  DeviceAck(c, 1);
  ExpectBlocks(live, 1, 1, 2, "ACK 1 of the table");
  // The final block's ACK is lost; the CLOSE-REQ stands for it.
  Skav(c, kCloseReq);
  ExpectBlocks(live, 1, 2, 2, "implicitly acknowledged");
  EXPECT_EQ(live.bytes.load(), 2000u);
  EXPECT_EQ(live.Result(1), ImageResult::kSent);
  EXPECT_EQ(live.resentAll.load(), 0u);
  EXPECT_EQ(live.Cause(), FailureCause::kNone);

  EXPECT_EQ(live.endWallMs.load(), 0);
  c.SKAVDOnTimer();  // the Close timer
  ASSERT_EQ(c.State(), Closed);
  EXPECT_GE(live.endWallMs.load(), live.startWallMs.load());
  EXPECT_GE(live.endMs.load(), live.startMs.load());
  EXPECT_GT(live.endMs.load(), 0);
}

TEST_F(ProgressTest, RetransmissionsAndFailuresAreCountedWhereTheyHappen) {
  rig.SetImage(0, Pattern(1300));
  TimedClient& c = rig.MakeClient();
  const DeviceLive& live = *c.live;
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  Skav(c, kUlReq);  // repeated while the WRQ is unanswered: the WRQ again
  EXPECT_EQ(live.resent.load(), 1u);
  DeviceAck(c, 0);
  DeviceAck(c, 1);
  for (int i = 0; i < 5; ++i) c.SKAVDOnTimer();  // DATA 2 four times again, then the end
  ASSERT_EQ(c.State(), Active);
  ExpectBlocks(live, 0, 1, 3, "failed at block 2");
  EXPECT_EQ(live.resent.load(), 5u);
  EXPECT_EQ(live.imageResent[0].load(), 5u);
  EXPECT_EQ(live.Result(0), ImageResult::kFailed);
  EXPECT_EQ(live.Cause(), FailureCause::kTimeout);
  EXPECT_EQ(live.failureBlock.load(), 2u);

  // The device tries again and refuses the image this time.
  Skav(c, kUlReq);
  ExpectBlocks(live, 0, 0, 3, "a new transfer of the same image");
  EXPECT_EQ(live.resent.load(), 0u);
  const std::vector<uint8_t> error = {0, 5, 0, 3, 'D', 'i', 's', 'k', ' ', 'f', 'u', 'l', 'l', 0};
  Ip(c, DevicePacket(40000, HostPort(c.localPort), error));
  ASSERT_EQ(c.State(), Active);
  EXPECT_EQ(live.Cause(), FailureCause::kTftpError);
  EXPECT_EQ(live.FailureCode(), 3);
  EXPECT_EQ(live.failureText, "Disk full");
  EXPECT_EQ(live.failureBlock.load(), 0u);
  EXPECT_EQ(live.resentAll.load(), 5u);
  EXPECT_EQ(live.imageResent[0].load(), 5u);
  EXPECT_EQ(live.bytes.load(), 512u);
}

// Another thread samples the counters while two images go through: it never
// sees more acknowledged than the total, nor one image's count going back,
// nor a total that is not its image's. The block outlives the client.
TEST_F(ProgressTest, AnotherThreadReadsConsistentCountsWhileTheTransferRuns) {
  constexpr uint32_t kBlocks0 = 301, kBlocks1 = 101;
  rig.SetImage(0, Pattern((kBlocks0 - 1) * 512 + 5));
  rig.SetImage(1, Pattern((kBlocks1 - 1) * 512));
  TimedClient& c = rig.MakeClient();
  std::shared_ptr<const DeviceLive> live = c.live;

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<long> samples{0};
  std::thread reader([&] {
    int lastImage = -1;
    uint32_t lastAcked = 0;
    const uint32_t totals[2] = {kBlocks0, kBlocks1};
    while (!done.load()) {
      const BlockCount b = live->Blocks();
      ++samples;
      if (b.image < 0) continue;
      if (b.image > 1 || b.acked > b.total || b.total != totals[b.image] ||
          (b.image == lastImage && b.acked < lastAcked) || b.image < lastImage)
        ++bad;
      lastImage = b.image;
      lastAcked = b.acked;
    }
  });

  Skav(c, kConfReq);
  Skav(c, kUlReq);
  for (uint32_t block = 0; block <= kBlocks0; ++block) {
    DeviceAck(c, static_cast<uint16_t>(block));
    rig.port->ClearSent();
    if (block % 25 == 0) SeenBy(samples);
  }
  Skav(c, UlReq("string table 1"));
  for (uint32_t block = 0; block <= kBlocks1; ++block) {
    DeviceAck(c, static_cast<uint16_t>(block));
    rig.port->ClearSent();
    if (block % 25 == 0) SeenBy(samples);
  }
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(samples.load(), 17);  // at least once every 25 ACKs
  EXPECT_EQ(c.State(), Active);

  rig.client.reset();
  ExpectBlocks(*live, 1, kBlocks1, kBlocks1, "after the client is gone");
  EXPECT_EQ(live->bytes.load(), (kBlocks0 - 1) * 512 + 5 + (kBlocks1 - 1) * 512u);
}
