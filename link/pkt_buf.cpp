// Frame buffer with room at both ends: payloads are written once and the
// layers below push their headers in front without copying them again.
#include "link/pkt_buf.h"

#include <cstring>

void PktBufInit(PktBuf& buf, uint8_t* storage, int32_t size) {
  buf.head = storage;
  buf.end = storage + size;
  buf.size = size;
  buf.len = 0;
  // Storage smaller than the usual head room starts at its end, so the
  // invariant data + len <= end holds for every size.
  buf.data = storage + (size < kPktBufHeadRoom ? size : kPktBufHeadRoom);
}

uint8_t* PktBufPush(PktBuf& buf, int32_t n) {
  if (n < 0) return nullptr;
  if (n > buf.data - buf.head) {
    if (n > buf.size - buf.len) return nullptr;
    // Head room is gone but the tail is not: slide what is built to the end
    // so that all free space lies in front of it.
    uint8_t* moved = buf.end - buf.len;
    std::memmove(moved, buf.data, static_cast<size_t>(buf.len));
    buf.data = moved;
  }
  buf.data -= n;
  buf.len += n;
  return buf.data;
}

uint8_t* PktBufPut(PktBuf& buf, int32_t n) {
  if (n < 0) return nullptr;
  // 64-bit sums: len + n must not wrap for any int32 count.
  const int64_t newLen = static_cast<int64_t>(buf.len) + n;
  const int64_t offset = buf.data - buf.head;
  if (offset + newLen >= buf.size) {
    if (newLen > buf.size) return nullptr;
    // Centring the enlarged frame leaves head room for the headers still to
    // be pushed as well as tail room for further appends.
    uint8_t* centred = buf.head + (buf.size - newLen) / 2;
    std::memmove(centred, buf.data, static_cast<size_t>(buf.len));
    buf.data = centred;
  }
  buf.len = static_cast<int32_t>(newLen);
  return buf.data + newLen - n;
}
