// Building SKAV messages in a PktBuf: the header first, then each option,
// with the message length kept current after every option.
#include <cstring>

#include "protocol/skav_msg.h"

namespace {

void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

constexpr uint32_t kMaxOptLen = 0xFFFF;

}  // namespace

int SKAV_MsgInit(PktBuf& buf, uint8_t code, uint8_t reserved) {
  uint8_t* h = PktBufPush(buf, kSkavHeaderLen);
  if (h == nullptr) return 6;
  h[0] = 0;
  h[1] = 0;
  h[2] = code;
  h[3] = reserved;
  PutBe16(h + 4, kSkavHeaderLen);
  return 0;
}

int SKAV_MsgAddOpt(PktBuf& buf, uint16_t type, const void* value, uint16_t n) {
  // The option's Length field is 16 bits: a value that cannot be described
  // there is refused before anything is reserved, rather than wrapping to a
  // tiny reservation that the copy below would overrun.
  const uint32_t optLen = static_cast<uint32_t>(n) + kSkavOptHeaderLen;
  if (optLen > kMaxOptLen) return 2;
  // The length field at data + 4 must belong to a header already written.
  if (buf.len < kSkavHeaderLen) return 6;

  uint8_t* opt = PktBufPut(buf, static_cast<int32_t>(optLen));
  if (opt == nullptr) return 6;
  // The reservation stays: the caller drops an oversized message unsent.
  if (buf.len > kSkavMaxLen) return 2;

  PutBe16(opt, type);
  PutBe16(opt + 2, optLen);
  if (n > 0) {
    if (value != nullptr) {
      std::memcpy(opt + kSkavOptHeaderLen, value, n);
    } else {
      std::memset(opt + kSkavOptHeaderLen, 0, n);
    }
  }
  PutBe16(buf.data + 4, static_cast<uint32_t>(buf.len));
  return 0;
}
