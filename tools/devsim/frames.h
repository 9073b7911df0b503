// The frames a simulated device sends (SKAV requests, TFTP answers in
// IPv4/UDP built by hand) and the reading of the IPv4/UDP frames it gets.
//
//   Ethernet: dst(6) src(6) type(2)
//   IPv4:     0x45 tos len(2) id(2) frag(2) ttl proto csum(2) src(4) dst(4)
//   UDP:      sport(2) dport(2) len(2) csum(2)
//   all multi-byte fields big-endian
#pragma once

#include <cstddef>
#include <cstdint>

#include "devsim/capture.h"
#include "link/pkt_buf.h"

constexpr int kEthMinFrame = 60;  // what a device's NIC pads to

/// Pushes the Ethernet header in front of the SKAV message in `buf`, pads
/// the frame to 60 bytes as a device's NIC would, and sends it.
/// 0 sent; -1 no room or the send failed.
int SendSkavFrame(FrameSender& tx, const uint8_t dst[6], const uint8_t src[6],
                  PktBuf& buf);

/// Addresses of a UDP datagram a device sends; ports and addresses in host
/// order.
struct UdpAddr {
  const uint8_t* dstMac;
  const uint8_t* srcMac;
  uint32_t srcIp;
  uint32_t dstIp;
  uint16_t srcPort;
  uint16_t dstPort;
  uint16_t ipId;
};

/// Builds IPv4 (TTL 64, don't-fragment, header checksum) and UDP (with its
/// checksum, as a device's stack computes it) around `payload` and sends
/// the frame, padded to 60 bytes. 0 sent; -1 too long or the send failed.
int SendUdpFrame(FrameSender& tx, const UdpAddr& addr, const uint8_t* payload,
                 int len);

/// A received UDP datagram; addresses and ports in host order; `payload`
/// points into the received bytes.
struct UdpView {
  uint32_t srcIp = 0;
  uint32_t dstIp = 0;
  uint16_t srcPort = 0;
  uint16_t dstPort = 0;
  uint16_t udpChecksum = 0;
  const uint8_t* payload = nullptr;
  size_t len = 0;
};

enum class Ipv4Read {
  kOk,
  kNotUdp,       ///< a well-formed IPv4 packet of another protocol
  kMalformed,    ///< lengths that do not fit, or not version 4
  kBadChecksum,  ///< IPv4 header checksum wrong
};

/// Reads an IPv4 packet (the bytes after the Ethernet header, `len` of
/// them, padding included) without reading past its end.
Ipv4Read ReadUdp(const uint8_t* pkt, size_t len, UdpView* out);
