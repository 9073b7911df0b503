// PktBuf: head room for pushed headers, tail room for appended payload, and
// the moves when either runs out.
#include "link/pkt_buf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class PktBufTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(storage, 0, sizeof storage);
    PktBufInit(buf, storage, sizeof storage);
  }

  // Writes 1, 2, 3, ... into the n bytes at p.
  static void Fill(uint8_t* p, int n, uint8_t start = 1) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(start + i);
  }
  static bool HasFill(const uint8_t* p, int n, uint8_t start = 1) {
    for (int i = 0; i < n; ++i) {
      if (p[i] != static_cast<uint8_t>(start + i)) return false;
    }
    return true;
  }

  uint8_t storage[128];
  PktBuf buf;
};

TEST_F(PktBufTest, StartsWithHeadRoom) {
  EXPECT_EQ(buf.head, storage);
  EXPECT_EQ(buf.end, storage + 128);
  EXPECT_EQ(buf.data, storage + 64);
  EXPECT_EQ(buf.size, 128);
  EXPECT_EQ(buf.len, 0);
}

TEST_F(PktBufTest, PushUsesHeadRoomDownToTheFirstByte) {
  EXPECT_EQ(PktBufPush(buf, 6), storage + 58);
  EXPECT_EQ(buf.len, 6);
  EXPECT_EQ(PktBufPush(buf, 58), storage);
  EXPECT_EQ(buf.data, storage);
  EXPECT_EQ(buf.len, 64);
}

TEST_F(PktBufTest, PushWithoutHeadRoomMovesBuiltBytesToTheEnd) {
  // 20 bytes of payload, then 60 bytes of headers: 4 bytes of head room
  // are left, so the 14-byte Ethernet header needs the move.
  uint8_t* payload = PktBufPut(buf, 20);
  ASSERT_EQ(payload, storage + 64);
  Fill(payload, 20);
  uint8_t* hdr = PktBufPush(buf, 60);
  ASSERT_EQ(hdr, storage + 4);
  Fill(hdr, 60, 100);

  uint8_t* eth = PktBufPush(buf, 14);
  ASSERT_NE(eth, nullptr);
  EXPECT_EQ(buf.len, 94);
  EXPECT_EQ(buf.data + buf.len, buf.end);  // built bytes end at the end
  EXPECT_EQ(eth, storage + 128 - 94);
  EXPECT_TRUE(HasFill(eth + 14, 60, 100));
  EXPECT_TRUE(HasFill(eth + 74, 20));
}

TEST_F(PktBufTest, PushTakingEveryFreeByteSucceeds) {
  ASSERT_NE(PktBufPush(buf, 64), nullptr);
  Fill(buf.data, 64);
  // No head room; exactly size - len free at the tail.
  uint8_t* p = PktBufPush(buf, 64);
  ASSERT_EQ(p, storage);
  EXPECT_EQ(buf.len, 128);
  EXPECT_TRUE(HasFill(storage + 64, 64));
}

TEST_F(PktBufTest, PushBeyondFreeStorageLeavesBufferUnchanged) {
  ASSERT_NE(PktBufPut(buf, 40), nullptr);
  Fill(buf.data, 40);
  uint8_t* data = buf.data;
  EXPECT_EQ(PktBufPush(buf, 89), nullptr);
  EXPECT_EQ(buf.data, data);
  EXPECT_EQ(buf.len, 40);
  EXPECT_TRUE(HasFill(buf.data, 40));
  EXPECT_EQ(PktBufPush(buf, -1), nullptr);
  EXPECT_EQ(buf.len, 40);
}

TEST_F(PktBufTest, PutAppendsBehindBuiltBytes) {
  uint8_t* a = PktBufPut(buf, 10);
  EXPECT_EQ(a, storage + 64);
  uint8_t* b = PktBufPut(buf, 53);  // ends one byte before the end
  EXPECT_EQ(b, storage + 74);
  EXPECT_EQ(buf.data, storage + 64);
  EXPECT_EQ(buf.len, 63);
}

TEST_F(PktBufTest, PutReachingTheEndReCentres) {
  // data + newLen == end is not "fits": the frame moves to the middle.
  uint8_t* p = PktBufPut(buf, 64);
  EXPECT_EQ(buf.data, storage + 32);
  EXPECT_EQ(p, storage + 32);
  EXPECT_EQ(buf.len, 64);
}

TEST_F(PktBufTest, PutPastTheEndReCentresAndKeepsBuiltBytes) {
  Fill(PktBufPut(buf, 40), 40);
  uint8_t* p = PktBufPut(buf, 31);  // newLen 71: (128 - 71) / 2 = 28
  EXPECT_EQ(buf.data, storage + 28);
  EXPECT_EQ(p, storage + 28 + 40);
  EXPECT_EQ(buf.len, 71);
  EXPECT_TRUE(HasFill(buf.data, 40));
}

TEST_F(PktBufTest, PutOfTheWholeStorageAndBeyond) {
  Fill(PktBufPut(buf, 8), 8);
  EXPECT_EQ(PktBufPut(buf, 121), nullptr);
  EXPECT_EQ(buf.data, storage + 64);
  EXPECT_EQ(buf.len, 8);
  EXPECT_TRUE(HasFill(buf.data, 8));
  EXPECT_EQ(PktBufPut(buf, INT32_MAX), nullptr);  // len + n must not wrap
  EXPECT_EQ(PktBufPut(buf, -8), nullptr);
  EXPECT_EQ(buf.len, 8);

  EXPECT_EQ(PktBufPut(buf, 120), storage + 8);
  EXPECT_EQ(buf.data, storage);
  EXPECT_EQ(buf.len, 128);
  EXPECT_TRUE(HasFill(buf.data, 8));
}

TEST(PktBufFrames, TftpLayoutBuildsForwardThenPushesEthernet) {
  // 640-byte storage: 20 + 8 + 4 + 512 appended, 14 pushed into head room.
  std::vector<uint8_t> storage(640);
  PktBuf buf;
  PktBufInit(buf, storage.data(), 640);
  uint8_t* ip = PktBufPut(buf, 20);
  ASSERT_EQ(ip, storage.data() + 64);
  ASSERT_NE(PktBufPut(buf, 8), nullptr);
  ASSERT_NE(PktBufPut(buf, 4), nullptr);
  ASSERT_NE(PktBufPut(buf, 512), nullptr);
  EXPECT_EQ(buf.data, ip);  // 64 + 544 < 640: nothing moved
  EXPECT_EQ(PktBufPush(buf, 14), storage.data() + 50);
  EXPECT_EQ(buf.len, 558);
}

}  // namespace
