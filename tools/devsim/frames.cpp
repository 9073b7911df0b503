// Building a device's frames and reading the server's IPv4/UDP frames.
#include "devsim/frames.h"

#include <cstring>

#include "link/l2_if.h"
#include "transfer/tftp.h"

namespace {

constexpr int kIpHeaderLen = 20;
constexpr int kUdpHeaderLen = 8;

void PutBe16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* at, uint32_t v) {
  PutBe16(at, static_cast<uint16_t>(v >> 16));
  PutBe16(at + 2, static_cast<uint16_t>(v));
}

uint16_t Be16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t Be32(const uint8_t* at) {
  return static_cast<uint32_t>(Be16(at)) << 16 | Be16(at + 2);
}

// Ethernet header in front, zero padding behind, then out.
int FinishAndSend(FrameSender& tx, const uint8_t dst[6], const uint8_t src[6],
                  uint16_t etherType, PktBuf& buf) {
  uint8_t* eth = PktBufPush(buf, kEthHeaderLen);
  if (!eth) return -1;
  std::memcpy(eth, dst, 6);
  std::memcpy(eth + 6, src, 6);
  PutBe16(eth + 12, etherType);
  if (buf.len < kEthMinFrame) {
    int pad = kEthMinFrame - buf.len;
    uint8_t* tail = PktBufPut(buf, pad);
    if (!tail) return -1;
    std::memset(tail, 0, static_cast<size_t>(pad));
  }
  return tx.Send(buf.data, buf.len);
}

}  // namespace

int SendSkavFrame(FrameSender& tx, const uint8_t dst[6], const uint8_t src[6],
                  PktBuf& buf) {
  return FinishAndSend(tx, dst, src, kEtherTypeSkav, buf);
}

int SendUdpFrame(FrameSender& tx, const UdpAddr& a, const uint8_t* payload,
                 int len) {
  // Up to a whole Ethernet frame (a long TFTP ERROR text) behind the head
  // room.
  uint8_t storage[kPktBufHeadRoom + kEthHeaderLen + 1500];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  const int udpLen = kUdpHeaderLen + len;
  uint8_t* ip = PktBufPut(buf, kIpHeaderLen + udpLen);
  if (!ip || len < 0) return -1;
  ip[0] = 0x45;
  ip[1] = 0;
  PutBe16(ip + 2, static_cast<uint16_t>(kIpHeaderLen + udpLen));
  PutBe16(ip + 4, a.ipId);
  PutBe16(ip + 6, 0x4000);  // don't fragment, as a device's stack sends
  ip[8] = 64;
  ip[9] = 17;
  ip[10] = ip[11] = 0;
  PutBe32(ip + 12, a.srcIp);
  PutBe32(ip + 16, a.dstIp);
  const uint16_t ipSum = IPChecksum(ip, kIpHeaderLen, false);
  std::memcpy(ip + 10, &ipSum, 2);

  uint8_t* udp = ip + kIpHeaderLen;
  PutBe16(udp, a.srcPort);
  PutBe16(udp + 2, a.dstPort);
  PutBe16(udp + 4, static_cast<uint16_t>(udpLen));
  udp[6] = udp[7] = 0;
  if (len > 0) std::memcpy(udp + kUdpHeaderLen, payload, static_cast<size_t>(len));

  // The UDP checksum covers a pseudo header in front of the datagram.
  uint8_t sumBuf[12 + 1500 - kIpHeaderLen];
  if (udpLen > static_cast<int>(sizeof sumBuf) - 12) return -1;
  PutBe32(sumBuf, a.srcIp);
  PutBe32(sumBuf + 4, a.dstIp);
  sumBuf[8] = 0;
  sumBuf[9] = 17;
  PutBe16(sumBuf + 10, static_cast<uint16_t>(udpLen));
  std::memcpy(sumBuf + 12, udp, static_cast<size_t>(udpLen));
  uint16_t udpSum = IPChecksum(sumBuf, 12 + udpLen, false);
  if (udpSum == 0) udpSum = 0xffff;  // 0 would mean "no checksum"
  std::memcpy(udp + 6, &udpSum, 2);

  return FinishAndSend(tx, a.dstMac, a.srcMac, kEtherTypeIpv4, buf);
}

Ipv4Read ReadUdp(const uint8_t* pkt, size_t len, UdpView* out) {
  if (len < static_cast<size_t>(kIpHeaderLen)) return Ipv4Read::kMalformed;
  if ((pkt[0] >> 4) != 4) return Ipv4Read::kMalformed;
  const size_t headerLen = static_cast<size_t>(pkt[0] & 0x0f) * 4;
  if (headerLen < static_cast<size_t>(kIpHeaderLen) || headerLen > len)
    return Ipv4Read::kMalformed;
  // Summing a header that carries its checksum gives 0 when it is right.
  if (IPChecksum(pkt, static_cast<int>(headerLen), false) != 0)
    return Ipv4Read::kBadChecksum;
  const size_t total = Be16(pkt + 2);
  if (total > len || total < headerLen + kUdpHeaderLen) {
    return pkt[9] == 17 ? Ipv4Read::kMalformed : Ipv4Read::kNotUdp;
  }
  if (pkt[9] != 17) return Ipv4Read::kNotUdp;
  const uint8_t* udp = pkt + headerLen;
  const size_t udpLen = Be16(udp + 4);
  if (udpLen < static_cast<size_t>(kUdpHeaderLen) || udpLen > total - headerLen)
    return Ipv4Read::kMalformed;
  out->srcIp = Be32(pkt + 12);
  out->dstIp = Be32(pkt + 16);
  out->srcPort = Be16(udp);
  out->dstPort = Be16(udp + 2);
  out->udpChecksum = Be16(udp + 6);
  out->payload = udp + kUdpHeaderLen;
  out->len = udpLen - kUdpHeaderLen;
  return Ipv4Read::kOk;
}
