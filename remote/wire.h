// The field encoding of the engine's socket protocol: big-endian integers
// and length-prefixed texts appended to a byte string, and a reader that
// checks every length against what is left before it reads a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace remote {

/// Appends fields to `out`.
class WireWriter {
 public:
  explicit WireWriter(std::string& out) : out_(out) {}

  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { Big(v, 2); }
  void U32(uint32_t v) { Big(v, 4); }
  void U64(uint64_t v) { Big(v, 8); }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void I64(int64_t v) { U64(static_cast<uint64_t>(v)); }
  /// The IEEE 754 bits, big-endian.
  void F64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    U64(bits);
  }
  /// A u16 length and the bytes; a text longer than `max` (at most 65535)
  /// is cut there, as the reader would refuse it whole.
  void Text(std::string_view text, size_t max) {
    if (max > 0xFFFF) max = 0xFFFF;
    if (text.size() > max) text = text.substr(0, max);
    U16(static_cast<uint16_t>(text.size()));
    out_.append(text);
  }
  /// The bytes alone: the rest of a payload.
  void Raw(std::string_view bytes) { out_.append(bytes); }

 private:
  void Big(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }

  std::string& out_;
};

/// Reads fields from a payload. A read past the end, or a text longer than
/// its field allows, fails the reader for good: every later read fails too,
/// so a decoder may check ok() once at its end.
class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size) : pos_(data), end_(data + size) {}
  explicit WireReader(std::string_view bytes)
      : WireReader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) {}

  bool ok() const { return ok_; }
  /// True when every byte has been read and nothing failed.
  bool Done() const { return ok_ && pos_ == end_; }
  size_t Left() const { return static_cast<size_t>(end_ - pos_); }

  uint8_t U8() { return static_cast<uint8_t>(Big(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Big(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Big(4)); }
  uint64_t U64() { return Big(8); }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  int64_t I64() { return static_cast<int64_t>(U64()); }
  double F64() {
    const uint64_t bits = U64();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  /// A u16 length and that many bytes, at most `max` of them.
  std::string Text(size_t max) {
    const size_t n = U16();
    if (!ok_ || n > max || n > Left()) return Fail();
    std::string text(reinterpret_cast<const char*>(pos_), n);
    pos_ += n;
    return text;
  }
  /// Every byte left, at most `max` of them.
  std::string Rest(size_t max) {
    if (!ok_ || Left() > max) return Fail();
    std::string text(reinterpret_cast<const char*>(pos_), Left());
    pos_ = end_;
    return text;
  }
  /// Marks the payload as refused (a value out of its range).
  void Refuse() { ok_ = false; }

 private:
  uint64_t Big(size_t n) {
    if (!ok_ || n > Left()) {
      ok_ = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | pos_[i];
    pos_ += n;
    return v;
  }
  std::string Fail() {
    ok_ = false;
    return {};
  }

  const uint8_t* pos_;
  const uint8_t* end_;
  bool ok_ = true;
};

}  // namespace remote
