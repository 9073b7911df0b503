// Hand-built IPv4/UDP headers, their checksum, and the bounded check of a
// received datagram.
#include "transfer/ipv4_udp.h"

#include <cstring>

#include "transfer/tftp.h"

namespace {

constexpr int kMaxIpv4HeaderLen = 60;  // ihl is 4 bits: 15 words
constexpr int kMinTftpLen = 4;         // opcode and block number or code

void PutBe16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

uint16_t GetBe16(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

}  // namespace

// The sum runs over 16-bit words as they lie in memory and the result is
// stored back the same way: the ones' complement sum is independent of byte
// order, so the bytes on the wire come out right on any host.
uint16_t IPChecksum(const uint8_t* bytes, int count, bool zeroCsumField) {
  uint8_t copy[64];
  if (zeroCsumField) {
    if (count > static_cast<int>(sizeof copy)) count = sizeof copy;
    if (count < 0) count = 0;
    std::memcpy(copy, bytes, static_cast<size_t>(count));
    for (int i = 10; i < 12 && i < count; ++i) copy[i] = 0;
    bytes = copy;
  }
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < count; i += 2) {
    uint16_t word;
    std::memcpy(&word, bytes + i, 2);
    sum += word;
  }
  if (i < count) {
    const uint8_t last[2] = {bytes[i], 0};
    uint16_t word;
    std::memcpy(&word, last, 2);
    sum += word;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void WriteIpv4UdpHeaders(uint8_t* at, uint16_t ipId, uint32_t dstAddrNet,
                         uint16_t srcPortNet, uint16_t dstPortNet,
                         int payloadLen) {
  const int udpLen = kUdpHeaderLen + payloadLen;
  at[0] = 0x45;  // version 4, five words
  at[1] = 0;
  PutBe16(at + 2, static_cast<uint16_t>(kIpv4HeaderLen + udpLen));
  PutBe16(at + 4, ipId);
  PutBe16(at + 6, 0);  // don't-fragment stays clear
  at[8] = kIpv4Ttl;
  at[9] = kIpProtoUdp;
  at[10] = at[11] = 0;
  PutBe16(at + 12, static_cast<uint16_t>(kServerAddr >> 16));
  PutBe16(at + 14, static_cast<uint16_t>(kServerAddr));
  std::memcpy(at + 16, &dstAddrNet, 4);
  const uint16_t csum = IPChecksum(at, kIpv4HeaderLen, false);
  std::memcpy(at + 10, &csum, 2);

  uint8_t* udp = at + kIpv4HeaderLen;
  std::memcpy(udp, &srcPortNet, 2);
  std::memcpy(udp + 2, &dstPortNet, 2);
  PutBe16(udp + 4, static_cast<uint16_t>(udpLen));
  udp[6] = udp[7] = 0;
}

bool ParseIpv4Udp(const uint8_t* bytes, size_t len, UdpDatagramView& out) {
  if (len < static_cast<size_t>(kIpv4HeaderLen)) return false;
  const size_t headerLen = static_cast<size_t>(bytes[0] & 0x0F) * 4;
  // A header length beyond the received bytes would make the checksum read
  // past them; one below 20 cannot hold the fields read below.
  if (headerLen < static_cast<size_t>(kIpv4HeaderLen) || headerLen > len ||
      headerLen > static_cast<size_t>(kMaxIpv4HeaderLen)) {
    return false;
  }
  uint16_t field;
  std::memcpy(&field, bytes + 10, 2);
  if (IPChecksum(bytes, static_cast<int>(headerLen), true) != field) {
    return false;
  }
  if ((bytes[0] >> 4) != 4 || bytes[9] != kIpProtoUdp) return false;
  if (GetBe16(bytes + 16) != static_cast<uint16_t>(kServerAddr >> 16) ||
      GetBe16(bytes + 18) != static_cast<uint16_t>(kServerAddr)) {
    return false;
  }
  const size_t totalLen = GetBe16(bytes + 2);
  if (totalLen > len || totalLen < headerLen ||
      totalLen - headerLen < static_cast<size_t>(kUdpHeaderLen)) {
    return false;
  }
  const uint8_t* udp = bytes + headerLen;
  const size_t udpLen = GetBe16(udp + 4);
  if (udpLen > totalLen - headerLen ||
      udpLen < static_cast<size_t>(kUdpHeaderLen + kMinTftpLen)) {
    return false;
  }
  std::memcpy(&out.srcPortNet, udp, 2);
  std::memcpy(&out.dstPortNet, udp + 2, 2);
  out.payload = udp + kUdpHeaderLen;
  out.payloadLen = static_cast<int>(udpLen) - kUdpHeaderLen;
  return true;
}
