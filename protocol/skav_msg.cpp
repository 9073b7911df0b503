// SKAV message parsing and validation: bounded reads of received bytes
// into a SKAV_Msg whose references point back into them.
#include "protocol/skav_msg.h"

#include <cstring>

namespace {

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) |
         (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

constexpr int kFileNameMinLen = kSkavOptHeaderLen + 1;
constexpr int kFileNameMaxLen = kSkavOptHeaderLen + 63;

}  // namespace

bool SKAV_ValidAddrMask(uint32_t addr, uint32_t mask) {
  if (mask == 0 || addr == 0) return false;
  const uint32_t hostMask = ~mask;
  const uint32_t host = addr & hostMask;
  // Neither the network's own address nor its broadcast address.
  if (host == 0 || host == hostMask) return false;
  if ((mask & 3u) != 0) return false;
  // One run of ones from bit 31: the host part is then 2^k - 1.
  return (hostMask & (hostMask + 1u)) == 0;
}

OptCheck SKAV_OptCheck(SKAV_Opt& opt, const uint8_t* value) {
  // Every length test comes before the value is read: the caller
  // guarantees only opt.length - 4 value bytes.
  switch (opt.type) {
    case SKAV_OPT_MAGIC_NO:
      if (opt.length != 8 || std::memcmp(value, "KSTN", 4) != 0) {
        return OptCheck::kInvalid;
      }
      opt.bytes = value;
      return OptCheck::kRecognised;
    case SKAV_OPT_DEV_IP:
      if (opt.length != 12 || !SKAV_ValidAddrMask(Be32(value), Be32(value + 4))) {
        return OptCheck::kInvalid;
      }
      opt.bytes = value;
      return OptCheck::kRecognised;
    case SKAV_OPT_ID:
      if (opt.length != 8) return OptCheck::kInvalid;
      opt.bytes = value;
      return OptCheck::kRecognised;
    case SKAV_OPT_DEV_REGION:
      if (opt.length != 6) return OptCheck::kInvalid;
      opt.number = Be16(value);
      return OptCheck::kRecognised;
    case SKAV_OPT_FW_UP:
      return OptCheck::kRecognised;
    case SKAV_OPT_ST_UP:
      if (opt.length != 8) return OptCheck::kInvalid;
      opt.number = Be32(value);
      return OptCheck::kRecognised;
    case SKAV_OPT_FILE_NAME:
      if (opt.length < kFileNameMinLen || opt.length > kFileNameMaxLen) {
        return OptCheck::kInvalid;
      }
      opt.bytes = value;
      return OptCheck::kRecognised;
    default:
      return OptCheck::kUnrecognised;
  }
}

int SKAV_MsgParsing(const uint8_t* bytes, size_t count, SKAV_Msg& msg) {
  if (count < static_cast<size_t>(kSkavHeaderLen)) return 1;
  msg.code = bytes[2];
  msg.reserved = bytes[3];
  msg.length = Be16(bytes + 4);
  if (msg.length > count || msg.length < kSkavHeaderLen) return 1;

  // Only the message's own Length is walked: bytes behind it are padding.
  msg.optCount = 0;
  size_t pos = kSkavHeaderLen;
  size_t remaining = msg.length - kSkavHeaderLen;
  while (remaining >= static_cast<size_t>(kSkavOptHeaderLen)) {
    SKAV_Opt opt;
    opt.type = Be16(bytes + pos);
    opt.length = Be16(bytes + pos + 2);
    if (opt.length > remaining) return 5;
    // An option shorter than its own header cannot be stepped over: a
    // Length of 0 would never advance, and 1 to 3 would make the next
    // header overlap this one. Whatever its type, it is malformed.
    if (opt.length < kSkavOptHeaderLen) return 5;
    switch (SKAV_OptCheck(opt, bytes + pos + kSkavOptHeaderLen)) {
      case OptCheck::kRecognised:
        if (msg.optCount == kSkavMaxOpts) return 3;
        msg.opts[msg.optCount++] = opt;
        break;
      case OptCheck::kUnrecognised:
        break;
      case OptCheck::kInvalid:
        return 5;
    }
    pos += opt.length;
    remaining -= opt.length;
  }
  return remaining == 0 ? 0 : 1;
}

const SKAV_Opt* SKAV_FindOpt(const SKAV_Msg& msg, uint16_t type) {
  const int32_t n = msg.optCount < 0             ? 0
                    : msg.optCount > kSkavMaxOpts ? kSkavMaxOpts
                                                  : msg.optCount;
  for (int32_t i = 0; i < n; ++i) {
    if (msg.opts[i].type == type) return &msg.opts[i];
  }
  return nullptr;
}
