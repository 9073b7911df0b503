// SKAV codec: parsing rules, the message builders, the dump texts and the
// transmit check, against byte strings written out by hand.
#include "protocol/skav_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Every parse reads from a heap block of exactly the received size, so a
// read past the bytes is a heap overflow that AddressSanitizer reports.
struct Parsed {
  std::unique_ptr<uint8_t[]> storage;
  size_t count = 0;
  SKAV_Msg msg;
  int rc = -1;
};

std::unique_ptr<Parsed> Parse(const Bytes& in) {
  auto p = std::make_unique<Parsed>();
  p->count = in.size();
  p->storage.reset(new uint8_t[in.size()]);
  if (!in.empty()) std::memcpy(p->storage.get(), in.data(), in.size());
  p->rc = SKAV_MsgParsing(p->storage.get(), p->count, p->msg);
  return p;
}

int ParseRc(const Bytes& in) { return Parse(in)->rc; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A message header whose Length is the size of what follows plus 6.
Bytes Msg(uint8_t code, const Bytes& options) {
  const size_t len = 6 + options.size();
  return Cat({{0x00, 0x00, code, 0x00, static_cast<uint8_t>(len >> 8),
               static_cast<uint8_t>(len)},
              options});
}

const Bytes kMagic = {0x00, 0x01, 0x00, 0x08, 'K', 'S', 'T', 'N'};
// 10.0.0.2 / 255.0.0.0
const Bytes kDevIp = {0x00, 0x02, 0x00, 0x0c, 0x0a, 0x00,
                      0x00, 0x02, 0xff, 0x00, 0x00, 0x00};
const Bytes kId = {0x00, 0x03, 0x00, 0x08, 0xde, 0xad, 0xbe, 0xef};
const Bytes kRegionJp = {0x00, 0x04, 0x00, 0x06, 0x00, 0x09};
const Bytes kFwUp = {0x01, 0x01, 0x00, 0x04};
const Bytes kStUp3f = {0x01, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x3f};
// Types nobody knows, stepped over by their Length.
const Bytes kUnknown4 = {0x02, 0x00, 0x00, 0x04};
const Bytes kUnknown7 = {0xff, 0xff, 0x00, 0x07, 0x11, 0x22, 0x33};

Bytes DevIp(uint32_t addr, uint32_t mask) {
  return {0x00, 0x02, 0x00, 0x0c,
          static_cast<uint8_t>(addr >> 24), static_cast<uint8_t>(addr >> 16),
          static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr),
          static_cast<uint8_t>(mask >> 24), static_cast<uint8_t>(mask >> 16),
          static_cast<uint8_t>(mask >> 8), static_cast<uint8_t>(mask)};
}

Bytes FileName(const std::string& name) {
  const size_t len = 4 + name.size();
  Bytes b = {0x01, 0x81, static_cast<uint8_t>(len >> 8),
             static_cast<uint8_t>(len)};
  for (char c : name) b.push_back(static_cast<uint8_t>(c));
  return b;
}

const uint8_t kPeer[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

std::string Dump(const SKAV_Msg& msg, Direction dir = Direction::kRx) {
  char text[kSkavDumpSize];
  std::memset(text, 0x7f, sizeof text);
  SKAV_MsgDump(text, msg, dir, kPeer);
  return text;
}

class RecordingSink : public LogSink {
 public:
  void Append(const char* text, size_t len) override {
    lines.emplace_back(text, len);
  }
  std::vector<std::string> lines;
};

// ---------------------------------------------------------------- framing

TEST(SkavParseFraming, PaddedAdvertiseFrameParsesOnlyItsLength) {
  // 60-byte Ethernet frame: header, a 14-byte ADVERTISE, 32 bytes of
  // padding that would be a malformed option if it were walked.
  Bytes frame = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00,
                 0x00, 0x00, 0x01, 0x09, 0x12,
                 0x00, 0x00, 0x01, 0x00, 0x00, 0x0e,
                 0x00, 0x01, 0x00, 0x08, 'K', 'S', 'T', 'N'};
  frame.resize(60, 0xaa);
  ASSERT_EQ(frame.size(), 60u);
  auto p = Parse(Bytes(frame.begin() + 14, frame.end()));
  ASSERT_EQ(p->rc, 0);
  EXPECT_EQ(p->msg.code, 1);
  EXPECT_EQ(p->msg.length, 14);
  ASSERT_EQ(p->msg.optCount, 1);
  EXPECT_EQ(p->msg.opts[0].type, SKAV_OPT_MAGIC_NO);
  EXPECT_EQ(p->msg.opts[0].length, 8);
  EXPECT_EQ(p->msg.opts[0].bytes, p->storage.get() + 10);
}

TEST(SkavParseFraming, HeaderAloneParsesWithNoOptions) {
  auto p = Parse({0xab, 0xcd, 0x05, 0x7e, 0x00, 0x06});
  ASSERT_EQ(p->rc, 0);
  EXPECT_EQ(p->msg.code, 5);
  EXPECT_EQ(p->msg.reserved, 0x7e);
  EXPECT_EQ(p->msg.length, 6);
  EXPECT_EQ(p->msg.optCount, 0);
}

TEST(SkavParseFraming, BadLengthsGiveOne) {
  EXPECT_EQ(ParseRc({}), 1);
  EXPECT_EQ(ParseRc({0x00, 0x00, 0x01, 0x00, 0x00}), 1);        // 5 bytes
  EXPECT_EQ(ParseRc({0x00, 0x00, 0x01, 0x00, 0x00, 0x05}), 1);  // Length 5
  EXPECT_EQ(ParseRc({0x00, 0x00, 0x01, 0x00, 0x00, 0x00}), 1);  // Length 0
  EXPECT_EQ(ParseRc({0x00, 0x00, 0x01, 0x00, 0x00, 0x07}), 1);  // one short
  // Length 14 but only 13 bytes of the ADVERTISE arrived.
  EXPECT_EQ(ParseRc({0x00, 0x00, 0x01, 0x00, 0x00, 0x0e, 0x00, 0x01, 0x00,
                     0x08, 'K', 'S', 'T'}),
            1);
  EXPECT_EQ(ParseRc({0x00, 0x00, 0x01, 0x00, 0xff, 0xff}), 1);
}

TEST(SkavParseFraming, StrayBytesAfterLastOptionGiveOne) {
  for (int stray = 1; stray <= 3; ++stray) {
    Bytes tail(static_cast<size_t>(stray), 0x00);
    EXPECT_EQ(ParseRc(Msg(1, Cat({kMagic, tail}))), 1) << stray;
    EXPECT_EQ(ParseRc(Msg(2, tail)), 1) << stray;
  }
  // Four bytes after the option are an option header, not stray bytes.
  EXPECT_EQ(ParseRc(Msg(1, Cat({kMagic, kUnknown4}))), 0);
}

TEST(SkavParseFraming, OptionLongerThanTheRestGivesFive) {
  // MAGIC-NO claims 8 bytes; the message ends after 7 of them.
  EXPECT_EQ(ParseRc(Msg(1, {0x00, 0x01, 0x00, 0x08, 'K', 'S', 'T'})), 5);
  // An unknown type is checked against the rest all the same.
  EXPECT_EQ(ParseRc(Msg(1, {0x7f, 0x00, 0x00, 0x09, 1, 2, 3, 4})), 5);
}

TEST(SkavParseFraming, OptionShorterThanItsHeaderEndsTheParse) {
  // Lengths 0 to 3 cannot be stepped over; whatever the type, such an
  // option makes the message malformed instead of looping or overlapping.
  for (uint8_t len = 0; len < 4; ++len) {
    EXPECT_EQ(ParseRc(Msg(2, {0x12, 0x34, 0x00, len})), 5) << int(len);
    EXPECT_EQ(ParseRc(Msg(2, Cat({kMagic, {0x12, 0x34, 0x00, len, 0, 0, 0,
                                            0}}))),
              5)
        << int(len);
    EXPECT_EQ(ParseRc(Msg(3, {0x01, 0x01, 0x00, len})), 5) << int(len);
  }
}

// ------------------------------------------------------------ option count

TEST(SkavParseCount, FiveRecognisedOptionsWithUnknownOnesBetween) {
  auto p = Parse(Msg(3, Cat({kUnknown4, kMagic, kUnknown7, kDevIp, kId,
                             kUnknown4, kUnknown7, kRegionJp, kStUp3f,
                             kUnknown4})));
  ASSERT_EQ(p->rc, 0);
  ASSERT_EQ(p->msg.optCount, 5);
  const uint8_t* base = p->storage.get();
  EXPECT_EQ(p->msg.opts[0].type, SKAV_OPT_MAGIC_NO);
  EXPECT_EQ(p->msg.opts[0].bytes, base + 6 + 4 + 4);
  EXPECT_EQ(p->msg.opts[1].type, SKAV_OPT_DEV_IP);
  EXPECT_EQ(p->msg.opts[1].length, 12);
  EXPECT_EQ(p->msg.opts[1].bytes, base + 6 + 4 + 8 + 7 + 4);
  EXPECT_EQ(p->msg.opts[2].type, SKAV_OPT_ID);
  EXPECT_EQ(0, std::memcmp(p->msg.opts[2].bytes, "\xde\xad\xbe\xef", 4));
  EXPECT_EQ(p->msg.opts[3].type, SKAV_OPT_DEV_REGION);
  EXPECT_EQ(p->msg.opts[3].number, 9u);
  EXPECT_EQ(p->msg.opts[4].type, SKAV_OPT_ST_UP);
  EXPECT_EQ(p->msg.opts[4].number, 0x3fu);
}

TEST(SkavParseCount, SixthRecognisedOptionGivesThree) {
  EXPECT_EQ(ParseRc(Msg(3, Cat({kMagic, kDevIp, kId, kRegionJp, kStUp3f,
                                kUnknown7, kFwUp}))),
            3);
  // Six of the same type count as six.
  EXPECT_EQ(ParseRc(Msg(3, Cat({kFwUp, kFwUp, kFwUp, kFwUp, kFwUp}))), 0);
  EXPECT_EQ(
      ParseRc(Msg(3, Cat({kFwUp, kFwUp, kFwUp, kFwUp, kFwUp, kFwUp}))), 3);
  // The sixth is checked before it is counted: a broken one gives 5.
  EXPECT_EQ(ParseRc(Msg(3, Cat({kFwUp, kFwUp, kFwUp, kFwUp, kFwUp,
                                {0x00, 0x01, 0x00, 0x08, 'K', 'S', 'T', 'X'}}))),
            5);
}

// ------------------------------------------------------------ option rules

TEST(SkavOptionRules, MagicNo) {
  EXPECT_EQ(ParseRc(Msg(1, kMagic)), 0);
  EXPECT_EQ(ParseRc(Msg(1, {0x00, 0x01, 0x00, 0x08, 'K', 'S', 'T', 'M'})), 5);
  EXPECT_EQ(ParseRc(Msg(1, {0x00, 0x01, 0x00, 0x08, 'k', 's', 't', 'n'})), 5);
  EXPECT_EQ(ParseRc(Msg(1, {0x00, 0x01, 0x00, 0x0c, 'K', 'S', 'T', 'N', 'K',
                            'S', 'T', 'N'})),
            5);
  EXPECT_EQ(ParseRc(Msg(1, {0x00, 0x01, 0x00, 0x07, 'K', 'S', 'T'})), 5);
}

TEST(SkavOptionRules, DevIpAddressesAndMasks) {
  auto ok = Parse(Msg(3, kDevIp));
  ASSERT_EQ(ok->rc, 0);
  EXPECT_EQ(ok->msg.opts[0].bytes, ok->storage.get() + 10);

  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x0a000002, 0xfffffffe))), 5);
  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x0a000002, 0xffffffff))), 5);
  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x0a000002, 0xff00ff00))), 5);
  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x0a000002, 0x00000000))), 5);
  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x0a000000, 0xff000000))), 5);
  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x0affffff, 0xff000000))), 5);
  EXPECT_EQ(ParseRc(Msg(3, DevIp(0x00000000, 0xff000000))), 5);
  // Right values, wrong Length.
  Bytes longer = Cat({DevIp(0x0a000002, 0xff000000), {0x00}});
  longer[3] = 13;
  EXPECT_EQ(ParseRc(Msg(3, longer)), 5);
  EXPECT_EQ(ParseRc(Msg(3, {0x00, 0x02, 0x00, 0x08, 0x0a, 0, 0, 2})), 5);
}

TEST(SkavOptionRules, AddressRuleOnHostOrder) {
  EXPECT_TRUE(SKAV_ValidAddrMask(0x0a000002, 0xff000000));
  // Prefix lengths 1 and 30 are the extremes.
  EXPECT_TRUE(SKAV_ValidAddrMask(0x0a000001, 0x80000000));
  EXPECT_TRUE(SKAV_ValidAddrMask(0xc0a80101, 0xfffffffc));
  EXPECT_TRUE(SKAV_ValidAddrMask(0xc0a80102, 0xfffffffc));
  EXPECT_FALSE(SKAV_ValidAddrMask(0xc0a80100, 0xfffffffc));  // network
  EXPECT_FALSE(SKAV_ValidAddrMask(0xc0a80103, 0xfffffffc));  // broadcast
  EXPECT_TRUE(SKAV_ValidAddrMask(0xc0a80109, 0xfffffff8));
  // Not a run of ones from bit 31.
  EXPECT_FALSE(SKAV_ValidAddrMask(0x0a000002, 0x7f000000));
  EXPECT_FALSE(SKAV_ValidAddrMask(0x0a000002, 0xff000004));
  EXPECT_FALSE(SKAV_ValidAddrMask(0x0a000002, 0xfffff0fc));
  // Bit 31 of the address alone is a host part under /1.
  EXPECT_TRUE(SKAV_ValidAddrMask(0xfffffffe, 0x80000000));
  EXPECT_FALSE(SKAV_ValidAddrMask(0xffffffff, 0x80000000));
}

TEST(SkavOptionRules, IdRegionStUp) {
  EXPECT_EQ(ParseRc(Msg(6, kId)), 0);
  EXPECT_EQ(ParseRc(Msg(6, {0x00, 0x03, 0x00, 0x09, 1, 2, 3, 4, 5})), 5);
  EXPECT_EQ(ParseRc(Msg(6, {0x00, 0x03, 0x00, 0x04})), 5);

  auto region = Parse(Msg(3, {0x00, 0x04, 0x00, 0x06, 0x01, 0x02}));
  ASSERT_EQ(region->rc, 0);
  EXPECT_EQ(region->msg.opts[0].number, 0x0102u);
  EXPECT_EQ(ParseRc(Msg(3, {0x00, 0x04, 0x00, 0x08, 0, 0, 0, 9})), 5);

  auto st = Parse(Msg(3, {0x01, 0x02, 0x00, 0x08, 0x80, 0x01, 0x02, 0x3f}));
  ASSERT_EQ(st->rc, 0);
  EXPECT_EQ(st->msg.opts[0].number, 0x8001023fu);
  EXPECT_EQ(ParseRc(Msg(3, {0x01, 0x02, 0x00, 0x06, 0x00, 0x3f})), 5);
}

TEST(SkavOptionRules, FwUpAnyLengthValueIgnored) {
  auto p = Parse(Msg(3, {0x01, 0x01, 0x00, 0x08, 0xde, 0xad, 0xbe, 0xef}));
  ASSERT_EQ(p->rc, 0);
  ASSERT_EQ(p->msg.optCount, 1);
  EXPECT_EQ(p->msg.opts[0].type, SKAV_OPT_FW_UP);
  EXPECT_EQ(p->msg.opts[0].length, 8);
  EXPECT_EQ(p->msg.opts[0].bytes, nullptr);
  EXPECT_EQ(p->msg.opts[0].number, 0u);
  EXPECT_EQ(ParseRc(Msg(3, kFwUp)), 0);
}

TEST(SkavOptionRules, FileNameLengths) {
  EXPECT_EQ(ParseRc(Msg(16, FileName(""))), 5);  // Length 4
  auto one = Parse(Msg(16, FileName("a")));
  ASSERT_EQ(one->rc, 0);
  EXPECT_EQ(one->msg.opts[0].bytes, one->storage.get() + 10);
  EXPECT_EQ(ParseRc(Msg(16, FileName(std::string(63, 'x')))), 0);  // 67
  EXPECT_EQ(ParseRc(Msg(16, FileName(std::string(64, 'x')))), 5);  // 68
}

TEST(SkavFindOpt, FirstOfTypeAmongCountedEntries) {
  auto p = Parse(Msg(16, Cat({FileName("st1"), kId, FileName("st2")})));
  ASSERT_EQ(p->rc, 0);
  const SKAV_Opt* f = SKAV_FindOpt(p->msg, SKAV_OPT_FILE_NAME);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f, &p->msg.opts[0]);
  EXPECT_EQ(SKAV_FindOpt(p->msg, SKAV_OPT_ID), &p->msg.opts[1]);
  EXPECT_EQ(SKAV_FindOpt(p->msg, SKAV_OPT_MAGIC_NO), nullptr);

  // Entries past optCount are leftovers, not options of this message.
  SKAV_Msg m;
  m.optCount = 1;
  m.opts[0].type = SKAV_OPT_ID;
  m.opts[1].type = SKAV_OPT_FW_UP;
  EXPECT_EQ(SKAV_FindOpt(m, SKAV_OPT_FW_UP), nullptr);
}

// -------------------------------------------------------------------- dump

TEST(SkavDump, AdvertiseAndConfAck) {
  auto adv = Parse(Msg(1, kMagic));
  ASSERT_EQ(adv->rc, 0);
  EXPECT_EQ(Dump(adv->msg, Direction::kTx),
            "[00-1a-2b-3c-4d-5e] TX SKAV ADVERTISE: MAGIC-NO(0x4b53544e) ");

  auto ack = Parse(Msg(3, Cat({kDevIp, kRegionJp, kFwUp, kStUp3f})));
  ASSERT_EQ(ack->rc, 0);
  EXPECT_EQ(Dump(ack->msg, Direction::kTx),
            "[00-1a-2b-3c-4d-5e] TX SKAV CONF-ACK: DEV-IP(10.0.0.2/255.0.0.0) "
            "DEV-REGION(JP) FW-UP ST-UP(0x00003f) ");
}

TEST(SkavDump, CodeNames) {
  const struct {
    uint8_t code;
    const char* name;
  } cases[] = {{0, "UNKNOWN-CODE"},   {1, "ADVERTISE"},
               {2, "CONF-REQ"},       {3, "CONF-ACK"},
               {4, "CLOSE-REQ"},      {5, "CLOSE-ACK"},
               {6, "KEEP-ALIVE-REQ"}, {7, "KEEP-ALIVE-ACK"},
               {8, "UNKNOWN-CODE"},   {15, "UNKNOWN-CODE"},
               {16, "TFTP-UL-REQ"},   {17, "UNKNOWN-CODE"},
               {255, "UNKNOWN-CODE"}};
  for (const auto& c : cases) {
    auto p = Parse(Msg(c.code, {}));
    ASSERT_EQ(p->rc, 0);
    EXPECT_EQ(Dump(p->msg),
              std::string("[00-1a-2b-3c-4d-5e] RX SKAV ") + c.name + ": ");
  }
}

TEST(SkavDump, RegionFallbackIdAndStUpWidth) {
  auto p = Parse(Msg(7, Cat({kId, {0x00, 0x04, 0x00, 0x06, 0x00, 0x0a},
                             {0x00, 0x04, 0x00, 0x06, 0x00, 0x00},
                             {0x01, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x3f},
                             {0x01, 0x02, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78}})));
  ASSERT_EQ(p->rc, 0);
  EXPECT_EQ(Dump(p->msg),
            "[00-1a-2b-3c-4d-5e] RX SKAV KEEP-ALIVE-ACK: ID(0xdeadbeef) "
            "DEV-REGION(Undefined Region) DEV-REGION(Undefined Region) "
            "ST-UP(0x00003f) ST-UP(0x12345678) ");
}

TEST(SkavDump, FileNameIsCopiedAndTerminated) {
  // The name ends the received bytes: printing it without a copy would read
  // past them.
  auto p = Parse(Msg(16, FileName("st_2.bin")));
  ASSERT_EQ(p->rc, 0);
  EXPECT_EQ(Dump(p->msg),
            "[00-1a-2b-3c-4d-5e] RX SKAV TFTP-UL-REQ: FILE-NAME(\"st_2.bin\") ");
}

TEST(SkavDump, LongestTextFits) {
  const std::string name(63, 'N');
  auto p = Parse(Msg(7, Cat({FileName(name), FileName(name), FileName(name),
                             FileName(name), FileName(name)})));
  ASSERT_EQ(p->rc, 0);
  std::string expected = "[00-1a-2b-3c-4d-5e] RX SKAV KEEP-ALIVE-ACK: ";
  for (int i = 0; i < 5; ++i) expected += "FILE-NAME(\"" + name + "\") ";
  const std::string text = Dump(p->msg);
  EXPECT_EQ(text, expected);
  EXPECT_LT(text.size(), 430u);
}

// ---------------------------------------------------------------- TX check

TEST(SkavTxLog, ValidMessageIsDumpedAsTx) {
  RecordingSink sink;
  const Bytes m = Msg(7, kId);
  SKAV_TxLog(m.data(), m.size(), kPeer, &sink);
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0],
            "[00-1a-2b-3c-4d-5e] TX SKAV KEEP-ALIVE-ACK: ID(0xdeadbeef) \r\n");
}

TEST(SkavTxLog, InvalidMessageIsReportedWithTheParserCode) {
  RecordingSink sink;
  const Bytes shortLen = {0x00, 0x00, 0x05, 0x00, 0x00, 0x05};
  SKAV_TxLog(shortLen.data(), shortLen.size(), kPeer, &sink);
  const Bytes badMagic =
      Msg(1, {0x00, 0x01, 0x00, 0x08, 'K', 'S', 'T', '!'});
  SKAV_TxLog(badMagic.data(), badMagic.size(), kPeer, &sink);
  const Bytes six = Msg(3, Cat({kFwUp, kFwUp, kFwUp, kFwUp, kFwUp, kFwUp}));
  SKAV_TxLog(six.data(), six.size(), kPeer, &sink);
  ASSERT_EQ(sink.lines.size(), 3u);
  EXPECT_EQ(sink.lines[0], "[Error] TX invalid SKAV msg to 00-1a-2b-3c-4d-5e (1)\r\n");
  EXPECT_EQ(sink.lines[1], "[Error] TX invalid SKAV msg to 00-1a-2b-3c-4d-5e (5)\r\n");
  EXPECT_EQ(sink.lines[2], "[Error] TX invalid SKAV msg to 00-1a-2b-3c-4d-5e (3)\r\n");
}

// --------------------------------------------------------------- builders

class SkavBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(storage, 0xcc, sizeof storage);
    PktBufInit(buf, storage, sizeof storage);
  }
  Bytes Built() const { return Bytes(buf.data, buf.data + buf.len); }

  uint8_t storage[512];
  PktBuf buf;
};

TEST_F(SkavBuild, HeaderGoesInFrontOfTheEmptyBuffer) {
  ASSERT_EQ(SKAV_MsgInit(buf, 5, 0), 0);
  EXPECT_EQ(buf.data, storage + 58);
  EXPECT_EQ(Built(), (Bytes{0x00, 0x00, 0x05, 0x00, 0x00, 0x06}));
}

TEST_F(SkavBuild, AdvertiseIsFourteenBytes) {
  ASSERT_EQ(SKAV_MsgInit(buf, 1, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_MAGIC_NO, "KSTN", 4), 0);
  EXPECT_EQ(Built(), (Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x0e, 0x00, 0x01,
                            0x00, 0x08, 0x4b, 0x53, 0x54, 0x4e}));
}

TEST_F(SkavBuild, ConfAckWithDevIpAloneIsEighteenBytes) {
  const uint8_t pair[8] = {0x0a, 0x00, 0x00, 0x02, 0xff, 0x00, 0x00, 0x00};
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_DEV_IP, pair, 8), 0);
  EXPECT_EQ(Built(), (Bytes{0x00, 0x00, 0x03, 0x00, 0x00, 0x12, 0x00, 0x02,
                            0x00, 0x0c, 0x0a, 0x00, 0x00, 0x02, 0xff, 0x00,
                            0x00, 0x00}));
}

TEST_F(SkavBuild, FullConfAckKeepsLengthCurrent) {
  const uint8_t pair[8] = {0x0a, 0x00, 0x01, 0x07, 0xff, 0x00, 0x00, 0x00};
  const uint8_t region[2] = {0x00, 0x03};
  const uint8_t mask[4] = {0x00, 0x00, 0x00, 0x05};
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_DEV_IP, pair, 8), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_DEV_REGION, region, 2), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_FW_UP, nullptr, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_ST_UP, mask, 4), 0);
  EXPECT_EQ(Built(),
            (Bytes{0x00, 0x00, 0x03, 0x00, 0x00, 0x24,              //
                   0x00, 0x02, 0x00, 0x0c, 0x0a, 0x00, 0x01, 0x07,  //
                   0xff, 0x00, 0x00, 0x00,                          //
                   0x00, 0x04, 0x00, 0x06, 0x00, 0x03,              //
                   0x01, 0x01, 0x00, 0x04,                          //
                   0x01, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x05}));
}

TEST_F(SkavBuild, KeepAliveAckWithIdIsFourteenBytes) {
  const uint8_t id[4] = {0x01, 0x23, 0x45, 0x67};
  ASSERT_EQ(SKAV_MsgInit(buf, 7, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_ID, id, 4), 0);
  EXPECT_EQ(Built(), (Bytes{0x00, 0x00, 0x07, 0x00, 0x00, 0x0e, 0x00, 0x03,
                            0x00, 0x08, 0x01, 0x23, 0x45, 0x67}));
}

TEST_F(SkavBuild, EmptyValueAppendsTheOptionHeaderOnly) {
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, 0x1234, nullptr, 0), 0);
  EXPECT_EQ(Built(), (Bytes{0x00, 0x00, 0x03, 0x00, 0x00, 0x0a, 0x12, 0x34,
                            0x00, 0x04}));
}

TEST_F(SkavBuild, MessageOfExactly1500BytesIsBuiltAnd1501GivesTwo) {
  static uint8_t big[2048];
  static const uint8_t value[1491] = {};
  PktBufInit(buf, big, sizeof big);
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  ASSERT_EQ(SKAV_MsgAddOpt(buf, 0x7777, value, 1490), 0);
  EXPECT_EQ(buf.len, 1500);
  EXPECT_EQ(buf.data[4], 0x05);
  EXPECT_EQ(buf.data[5], 0xdc);
  EXPECT_EQ(buf.data[8], 0x05);  // option length 1494
  EXPECT_EQ(buf.data[9], 0xd6);

  PktBufInit(buf, big, sizeof big);
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  EXPECT_EQ(SKAV_MsgAddOpt(buf, 0x7777, value, 1491), 2);
  // The length field is left as it was: the message is not to be sent.
  EXPECT_EQ(buf.data[4], 0x00);
  EXPECT_EQ(buf.data[5], 0x06);
}

TEST_F(SkavBuild, NoRoomGivesSixAndLeavesTheBufferAlone) {
  // Header pushed, one byte of storage left after the built ones.
  uint8_t small[128];
  PktBufInit(buf, small, sizeof small);
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  static const uint8_t value[200] = {};
  const uint8_t* data = buf.data;
  EXPECT_EQ(SKAV_MsgAddOpt(buf, 0x7777, value, 200), 6);
  EXPECT_EQ(buf.data, data);
  EXPECT_EQ(buf.len, 6);

  // Storage already full: no room for the header.
  buf.data = buf.head;
  buf.len = buf.size - 5;
  EXPECT_EQ(SKAV_MsgInit(buf, 3, 0), 6);
  EXPECT_EQ(buf.data, buf.head);
  EXPECT_EQ(buf.len, buf.size - 5);
}

TEST_F(SkavBuild, ValueLengthThatCannotBeEncodedIsRefusedBeforeCopying) {
  // n + 4 wraps to 0..3 in 16 bits: a tiny reservation followed by a copy
  // of ~64 KiB would run far past the 512-byte storage.
  static const std::vector<uint8_t> value(65535, 0xee);
  ASSERT_EQ(SKAV_MsgInit(buf, 3, 0), 0);
  const Bytes before(storage, storage + sizeof storage);
  for (uint16_t n : {uint16_t{65532}, uint16_t{65533}, uint16_t{65535}}) {
    const int rc = SKAV_MsgAddOpt(buf, 0x7777, value.data(), n);
    EXPECT_TRUE(rc == 2 || rc == 6) << n << " gave " << rc;
    EXPECT_EQ(buf.len, 6);
    EXPECT_EQ(Bytes(storage, storage + sizeof storage), before);
  }
  // Encodable but beyond the buffer.
  EXPECT_EQ(SKAV_MsgAddOpt(buf, 0x7777, value.data(), 65531), 6);
  EXPECT_EQ(Bytes(storage, storage + sizeof storage), before);
}

TEST_F(SkavBuild, OptionWithoutHeaderIsRefused) {
  // The length field lives in the header: with none built, writing it
  // would land outside what was reserved.
  const uint8_t id[4] = {1, 2, 3, 4};
  const Bytes before(storage, storage + sizeof storage);
  EXPECT_EQ(SKAV_MsgAddOpt(buf, SKAV_OPT_ID, id, 0), 6);
  EXPECT_EQ(buf.len, 0);
  EXPECT_EQ(Bytes(storage, storage + sizeof storage), before);
}

// ------------------------------------------------------------- hostile input

TEST(SkavParseHostile, EveryTruncationOfAValidMessageGivesOne) {
  const Bytes whole = Msg(3, Cat({kDevIp, kRegionJp, kFwUp, kStUp3f,
                                  FileName("firmware.bin")}));
  ASSERT_EQ(ParseRc(whole), 0);
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(ParseRc(Bytes(whole.begin(), whole.begin() + n)), 1) << n;
  }
}

TEST(SkavParseHostile, RandomMessagesStayInsideTheirBytes) {
  std::mt19937 rng(20240601);
  const uint16_t types[] = {1, 2, 3, 4, 0x0101, 0x0102, 0x0181, 0x0200, 0xffff};
  const Bytes* valid[] = {&kMagic, &kDevIp, &kId, &kRegionJp, &kFwUp, &kStUp3f};
  int outcomes[6] = {};
  for (int round = 0; round < 20000; ++round) {
    Bytes body;
    const int parts = static_cast<int>(rng() % 8);
    for (int i = 0; i < parts; ++i) {
      if (rng() % 3 == 0) {
        const Bytes& v = *valid[rng() % 6];
        body.insert(body.end(), v.begin(), v.end());
        continue;
      }
      // Type from the table or not; Length near the real size or wild.
      const uint16_t type = types[rng() % 9];
      const size_t valueLen = rng() % 70;
      uint16_t len = static_cast<uint16_t>(valueLen + 4);
      if (rng() % 4 == 0) len = static_cast<uint16_t>(rng());
      body.push_back(static_cast<uint8_t>(type >> 8));
      body.push_back(static_cast<uint8_t>(type));
      body.push_back(static_cast<uint8_t>(len >> 8));
      body.push_back(static_cast<uint8_t>(len));
      for (size_t k = 0; k < valueLen; ++k) {
        body.push_back(static_cast<uint8_t>(rng()));
      }
    }
    Bytes m = Msg(static_cast<uint8_t>(rng()), body);
    if (rng() % 4 == 0) {  // lie about the message length
      const uint16_t len = static_cast<uint16_t>(rng() % (m.size() + 8));
      m[4] = static_cast<uint8_t>(len >> 8);
      m[5] = static_cast<uint8_t>(len);
    }
    if (rng() % 4 == 0) m.resize(rng() % (m.size() + 1));  // cut short

    auto p = Parse(m);
    ASSERT_TRUE(p->rc == 0 || p->rc == 1 || p->rc == 3 || p->rc == 5)
        << p->rc;
    ++outcomes[p->rc];
    if (p->rc != 0) continue;
    ASSERT_LE(p->msg.length, p->count);
    ASSERT_GE(p->msg.optCount, 0);
    ASSERT_LE(p->msg.optCount, kSkavMaxOpts);
    const uint8_t* first = p->storage.get();
    const uint8_t* last = first + p->msg.length;
    for (int i = 0; i < p->msg.optCount; ++i) {
      const SKAV_Opt& o = p->msg.opts[i];
      if (o.bytes == nullptr) continue;
      ASSERT_GE(o.bytes, first + 10);
      ASSERT_LE(o.bytes + (o.length - 4), last);
    }
    // The dump reads the referenced bytes; it must stay inside them too.
    const std::string text = Dump(p->msg);
    ASSERT_LT(text.size(), 430u);
  }
  // The generator reached every outcome, so the checks above saw each path.
  EXPECT_GT(outcomes[0], 0);
  EXPECT_GT(outcomes[1], 0);
  EXPECT_GT(outcomes[3], 0);
  EXPECT_GT(outcomes[5], 0);
}

}  // namespace
