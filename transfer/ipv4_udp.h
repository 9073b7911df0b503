// IPv4 and UDP headers of the TFTP traffic, written and read by hand: what
// the transfer sends never goes through the system's IP stack, and replies
// taken from the capture are read here.
//
//    0       1       2       3
//   +-------+-------+---------------+
//   |ver|ihl|  tos  |  total length |   ihl: header length in 32-bit words
//   +-------+-------+---------------+
//   | identification|flags|fragment |
//   +-------+-------+---------------+
//   |  ttl  | proto |   checksum    |
//   +-------+-------+---------------+
//   |        source address         |
//   +-------------------------------+
//   |      destination address      |
//   +-------------------------------+   (options when ihl > 5)
//   |  UDP src port |  UDP dst port |
//   +---------------+---------------+
//   |  UDP length   | UDP checksum  |
//   +---------------+---------------+
//   all multi-byte fields big-endian
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kIpv4HeaderLen = 20;  // no options in what we send
constexpr int kUdpHeaderLen = 8;
constexpr uint8_t kIpv4Ttl = 128;
constexpr uint8_t kIpProtoUdp = 17;

/// Writes the 20-byte IPv4 header and the 8-byte UDP header at `at` for a
/// datagram from 10.0.0.1 carrying `payloadLen` bytes of UDP payload; the
/// UDP checksum is 0 (not computed), the IPv4 header checksum is filled.
/// Addresses and ports are in network order.
void WriteIpv4UdpHeaders(uint8_t* at, uint16_t ipId, uint32_t dstAddrNet,
                         uint16_t srcPortNet, uint16_t dstPortNet,
                         int payloadLen);

/// A received UDP datagram, examined in place.
struct UdpDatagramView {
  const uint8_t* payload = nullptr;  ///< first byte behind the UDP header
  int payloadLen = 0;                ///< UDP length - 8
  uint16_t srcPortNet = 0;
  uint16_t dstPortNet = 0;
};

/// Accepts an IPv4 packet of `len` received bytes only when it is a UDP
/// datagram to 10.0.0.1 with a sound header: valid header checksum, a
/// header length of 20 to 60 bytes within the received bytes, a total
/// length within the received bytes that leaves room for the UDP header,
/// and a UDP length within the total length that leaves at least a 4-byte
/// TFTP header. Never reads beyond `len` bytes.
bool ParseIpv4Udp(const uint8_t* bytes, size_t len, UdpDatagramView& out);
