// Shared pieces of the fuzz targets: length-prefixed records cut from one
// input, a Debug Window sink that checks what it is given, and the checks
// every frame the server sends must pass, whatever it was fed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "report/debug_print.h"
#include "link/l2_if.h"
#include "protocol/skav_msg.h"
#include "transfer/tftp.h"

namespace fuzz {

/// A broken invariant is a finding: stop the run so libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", what, file, line);
  std::abort();
}

#define FUZZ_CHECK(cond)                                  \
  do {                                                    \
    if (!(cond)) ::fuzz::Fail(#cond, __FILE__, __LINE__); \
  } while (0)

/// With SKAV_FUZZ_TRACE set, the targets say what each record did: for
/// reading a saved crash input (run the target with the file as argument).
inline bool Tracing() {
  static const bool on = std::getenv("SKAV_FUZZ_TRACE") != nullptr;
  return on;
}

#define FUZZ_TRACE(...)                                   \
  do {                                                    \
    if (::fuzz::Tracing()) std::fprintf(stderr, __VA_ARGS__); \
  } while (0)

/// Bytes in a heap block of exactly their size, so that AddressSanitizer
/// reports a read one byte past them (a pointer into the fuzzer's input
/// would run into the next record unnoticed).
struct Bytes {
  std::unique_ptr<uint8_t[]> block;
  size_t size = 0;

  Bytes() = default;
  Bytes(const uint8_t* from, size_t n) : block(new uint8_t[n]), size(n) {
    if (n) std::memcpy(block.get(), from, n);
  }
  uint8_t* data() { return block.get(); }
  const uint8_t* data() const { return block.get(); }
};

/// Cuts an input into records: an operation byte, a big-endian 16-bit
/// length (cut to what is left), then that many bytes.
class Records {
 public:
  Records(const uint8_t* data, size_t size) : p_(data), left_(size) {}

  /// The next record; false once fewer than the three header bytes are left.
  bool Next(uint8_t& op, Bytes& bytes) {
    if (left_ < 3) return false;
    op = p_[0];
    size_t n = static_cast<size_t>((p_[1] << 8) | p_[2]);
    p_ += 3;
    left_ -= 3;
    if (n > left_) n = left_;
    bytes = Bytes(p_, n);
    p_ += n;
    left_ -= n;
    return true;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

/// Accepts Debug Window text from any thread and checks the promise made
/// to every sink: at most 511 bytes, all of them readable.
class CheckingLog : public LogSink {
 public:
  void Append(const char* text, size_t len) override {
    FUZZ_CHECK(len <= 511);
    unsigned sum = 0;
    for (size_t i = 0; i < len; ++i) sum += static_cast<unsigned char>(text[i]);
    checksum_.fetch_add(sum, std::memory_order_relaxed);
    lines_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mu_);
    last_.assign(text, len);
  }
  int Lines() const { return lines_.load(std::memory_order_relaxed); }
  std::string Last() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_;
  }

 private:
  std::atomic<int> lines_{0};
  std::atomic<unsigned> checksum_{0};
  mutable std::mutex mu_;
  std::string last_;
};

inline uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

/// Ones' complement sum of big-endian words, complemented; 0 over a header
/// whose checksum field is right.
inline uint16_t InternetChecksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += Be16(p + i);
  if (n % 2) sum += static_cast<uint32_t>(p[n - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

/// What a frame the server sends must look like: an Ethernet header from
/// the server's MAC and either a SKAV message that parses and fills the
/// frame exactly, or an IPv4/UDP packet from 10.0.0.1 with a right header
/// checksum and lengths that add up, carrying a WRQ, DATA or ERROR.
inline void CheckSentFrame(const uint8_t* f, int len,
                           const uint8_t serverMac[6]) {
  FUZZ_CHECK(len >= kEthHeaderLen && len <= kEthHeaderLen + kMaxPayload);
  FUZZ_CHECK(std::memcmp(f + 6, serverMac, 6) == 0);
  const uint8_t* p = f + kEthHeaderLen;
  const int n = len - kEthHeaderLen;
  const uint16_t etherType = Be16(f + 12);
  if (etherType == kEtherTypeSkav) {
    SKAV_Msg msg;
    FUZZ_CHECK(SKAV_MsgParsing(p, static_cast<size_t>(n), msg) == 0);
    FUZZ_CHECK(msg.length == n);
    return;
  }
  FUZZ_CHECK(etherType == kEtherTypeIpv4);
  FUZZ_CHECK(n >= 20 + 8 + 4);
  FUZZ_CHECK(p[0] == 0x45 && p[9] == 17);
  FUZZ_CHECK(Be16(p + 2) == n);
  FUZZ_CHECK(InternetChecksum(p, 20) == 0);
  FUZZ_CHECK(p[12] == 10 && p[13] == 0 && p[14] == 0 && p[15] == 1);
  FUZZ_CHECK(Be16(p + 24) == n - 20);
  const uint16_t opcode = Be16(p + 28);
  FUZZ_CHECK(opcode == TFTP_WRQ || opcode == TFTP_DATA ||
             opcode == TFTP_ERROR);
  if (opcode == TFTP_DATA) FUZZ_CHECK(n - 32 <= kTftpBlockSize);
}

/// Makes `pkt` an IPv4/UDP packet to 10.0.0.1 port `dstPortNet` whose
/// header checksum and lengths hold, keeping every other byte as the fuzzer
/// chose it, so that its payload gets past the datagram checks. Packets too
/// short for the headers are left alone. With `srcPortNet` non-zero the
/// source port is set too. With `keepLengths` the total and UDP lengths
/// stay as the fuzzer wrote them (only the checksum is made to fit), so
/// that the length checks behind the checksum are fuzzed too.
inline void RepairDatagram(Bytes& pkt, uint16_t dstPortNet,
                           uint16_t srcPortNet, bool keepLengths) {
  uint8_t* p = pkt.data();
  const size_t n = pkt.size;
  if (n < 28) return;
  size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
  if (ihl < 20 || ihl + 8 > n) ihl = 20;
  p[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  p[9] = 17;
  p[16] = 10;
  p[17] = 0;
  p[18] = 0;
  p[19] = 1;
  const size_t total = n > 0xFFFF ? 0xFFFF : n;
  uint8_t* udp = p + ihl;
  if (srcPortNet != 0) std::memcpy(udp, &srcPortNet, 2);
  std::memcpy(udp + 2, &dstPortNet, 2);
  if (!keepLengths) {
    PutBe16(p + 2, static_cast<uint16_t>(total));
    PutBe16(udp + 4, static_cast<uint16_t>(total - ihl));
  }
  p[10] = p[11] = 0;
  PutBe16(p + 10, InternetChecksum(p, ihl));
}

}  // namespace fuzz
