// Fuzz target: SKAV message parsing and the one-line dump of what parsed,
// checked by rebuilding the kept options and parsing the result again.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "link/pkt_buf.h"
#include "protocol/skav_msg.h"

namespace {

const uint8_t kPeerMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// The bytes a kept option carries back into a message of our own.
uint16_t ValueOf(const SKAV_Opt& opt, uint8_t (&out)[64], const void** value) {
  switch (opt.type) {
    case SKAV_OPT_DEV_REGION:
      fuzz::PutBe16(out, static_cast<uint16_t>(opt.number));
      *value = out;
      return 2;
    case SKAV_OPT_ST_UP:
      fuzz::PutBe16(out, static_cast<uint16_t>(opt.number >> 16));
      fuzz::PutBe16(out + 2, static_cast<uint16_t>(opt.number));
      *value = out;
      return 4;
    case SKAV_OPT_FW_UP:
      *value = nullptr;
      return 0;
    default:
      *value = opt.bytes;
      return static_cast<uint16_t>(opt.length - kSkavOptHeaderLen);
  }
}

void CheckDump(const SKAV_Msg& msg, Direction dir, char (&text)[kSkavDumpSize]) {
  std::memset(text, 0x7F, sizeof text);
  SKAV_MsgDump(text, msg, dir, kPeerMac);
  FUZZ_CHECK(std::memchr(text, 0, sizeof text) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SKAV_Msg msg;
  const int rc = SKAV_MsgParsing(data, size, msg);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 3 || rc == 5);

  // The check after every send parses and dumps the same way.
  fuzz::CheckingLog log;
  SKAV_TxLog(data, size, kPeerMac, &log);
  FUZZ_CHECK(log.Lines() == 1);
  if (rc != 0) return 0;

  FUZZ_CHECK(msg.length >= kSkavHeaderLen && msg.length <= size);
  FUZZ_CHECK(msg.optCount >= 0 && msg.optCount <= kSkavMaxOpts);
  for (int i = 0; i < msg.optCount; ++i) {
    const SKAV_Opt& opt = msg.opts[i];
    FUZZ_CHECK(opt.length >= kSkavOptHeaderLen);
    if (opt.bytes != nullptr) {
      FUZZ_CHECK(opt.bytes >= data + kSkavHeaderLen + kSkavOptHeaderLen);
      FUZZ_CHECK(opt.bytes + (opt.length - kSkavOptHeaderLen) <=
                 data + msg.length);
    }
  }

  char rxText[kSkavDumpSize];
  char txText[kSkavDumpSize];
  CheckDump(msg, Direction::kRx, rxText);
  CheckDump(msg, Direction::kTx, txText);

  // The kept options, written by the builder, must read back the same:
  // same code, same options in the same order, the same dump.
  uint8_t storage[kSkavMaxLen + 128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  FUZZ_CHECK(SKAV_MsgInit(buf, msg.code, msg.reserved) == 0);
  for (int i = 0; i < msg.optCount; ++i) {
    uint8_t value[64];
    const void* from = nullptr;
    const uint16_t n = ValueOf(msg.opts[i], value, &from);
    FUZZ_CHECK(SKAV_MsgAddOpt(buf, msg.opts[i].type, from, n) == 0);
  }
  SKAV_Msg again;
  FUZZ_CHECK(SKAV_MsgParsing(buf.data, static_cast<size_t>(buf.len), again) ==
             0);
  FUZZ_CHECK(again.code == msg.code && again.reserved == msg.reserved);
  FUZZ_CHECK(again.optCount == msg.optCount);
  for (int i = 0; i < msg.optCount; ++i) {
    FUZZ_CHECK(again.opts[i].type == msg.opts[i].type);
    FUZZ_CHECK(again.opts[i].number == msg.opts[i].number);
  }
  char againText[kSkavDumpSize];
  CheckDump(again, Direction::kRx, againText);
  FUZZ_CHECK(std::strcmp(againText, rxText) == 0);
  return 0;
}
