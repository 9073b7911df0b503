// The TFTP upload engine: the server writes an image to the device in
// hand-built IPv4/UDP packets, lock-step, 512-byte blocks.
#pragma once

#include <cstdint>

class CClientThread;

constexpr uint32_t kServerAddr = 0x0A000001;  // 10.0.0.1, host order
constexpr uint32_t kServerMask = 0xFF000000;  // 255.0.0.0, host order
constexpr int kTftpBlockSize = 512;
/// The largest image one transfer carries: block numbers are 16 bits and
/// are not wrapped, so the final (short) block is block 65535 at the most.
constexpr uint32_t kTftpMaxImageSize = 65535u * kTftpBlockSize - 1;  // 33553919

enum TftpOpcode : uint16_t {
  TFTP_RRQ = 1, TFTP_WRQ = 2, TFTP_DATA = 3, TFTP_ACK = 4, TFTP_ERROR = 5,
};

/// Opens a fresh UDP socket to reserve localPort and sends the WRQ.
/// 0 sent; 4 no socket; otherwise TFTPSendPkt's result.
int TFTPStartUpload(CClientThread& client);

/// Wraps header and data in IPv4/UDP and sends them to the device.
/// 0; 2 data does not fit; 3 L2_TxPkt failed.
int TFTPSendPkt(CClientThread& client, uint16_t dstPortNet,
                const uint8_t* header, int headerLen, const uint8_t* data,
                int dataLen);

/// Advances the transfer by one received TFTP packet. Returns the next
/// state; *timerMs becomes 0 (leave the timer), 500 or 60000.
int32_t TFTPRxPkt(CClientThread& client, const uint8_t* pkt, int len,
                  uint16_t srcPortNet, uint32_t* timerMs);

/// Sends the WRQ again (TFTP-Uploading) or the last DATA block.
void TFTPRetransmit(CClientThread& client);

/// Sends ERROR `code` with `text` to `dstPortNet`.
int TFTPSendError(CClientThread& client, uint16_t dstPortNet, uint16_t code,
                  const char* text);

/// RFC 1071 checksum; with zeroCsumField, bytes 10 and 11 count as 0
/// (count must then be at most 64).
uint16_t IPChecksum(const uint8_t* bytes, int count, bool zeroCsumField);
