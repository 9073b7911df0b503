// A second network of the server's namespace, as the office LAN of a bench
// PC beside its bench segment: what a host there can send to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "netns/netns_pair.h"

/// A third namespace on a veth pair to the server's namespace of `pair`,
/// 192.168.77.0/24, the server's end kServerAddr. Reverse-path filtering is
/// off on the server's end (Debian's loose default lets the same through),
/// so what is sent from here with a bench address as its source reaches the
/// server's stack. Removed with its owner.
class NetnsLan {
 public:
  static constexpr char kServerAddr[] = "192.168.77.1";

  /// Check ok().
  explicit NetnsLan(const NetnsPair& pair);
  ~NetnsLan();
  NetnsLan(const NetnsLan&) = delete;
  NetnsLan& operator=(const NetnsLan&) = delete;

  bool ok() const { return ok_; }

  /// Sends one UDP datagram from `srcAddr`:`srcPort` (the address is put
  /// on this namespace for it) to `dstAddr`:`dstPort`. False when it could
  /// not be sent.
  bool Send(const std::string& srcAddr, uint16_t srcPort, const std::string& dstAddr,
            uint16_t dstPort, const void* bytes, size_t len);
  /// Whether a datagram sent from `srcAddr` arrives at a socket of the
  /// server's namespace on kServerAddr within `ms`: the path the tests
  /// count on.
  bool ReachesServer(const std::string& srcAddr, int ms);

 private:
  bool ok_ = false;
  std::string ns_, serverNs_;
  std::string source_;  // the source address last put on this namespace
};
