// A frame under construction in storage owned by its sender, with head room
// for headers that lower layers push in front of the payload.
#pragma once

#include <cstdint>

/// Describes caller-owned storage; nothing here allocates.
/// Invariant: head <= data and data + len <= end.
struct PktBuf {
  uint8_t* head = nullptr;  ///< first byte of the storage
  uint8_t* end = nullptr;   ///< first byte past the storage (head + size)
  uint8_t* data = nullptr;  ///< first byte of what has been built so far
  int32_t size = 0;         ///< capacity of the storage in bytes
  int32_t len = 0;          ///< bytes built, counted from data
};

/// Every sender starts 64 bytes into its storage, leaving head room.
constexpr int32_t kPktBufHeadRoom = 64;

/// Points `buf` at `storage` of `size` bytes with data = head + 64, len = 0.
void PktBufInit(PktBuf& buf, uint8_t* storage, int32_t size);

/// Reserves n bytes in front of the built ones; nullptr when they cannot fit
/// (the buffer is then unchanged). Moves the built bytes to the end of the
/// storage when the head room has run out.
uint8_t* PktBufPush(PktBuf& buf, int32_t n);

/// Reserves n bytes behind the built ones; nullptr when they cannot fit
/// (the buffer is then unchanged). Re-centres the built bytes when the tail
/// room has run out.
uint8_t* PktBufPut(PktBuf& buf, int32_t n);
