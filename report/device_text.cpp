// Device text for our lines: control characters and the backslash escaped.
#include "report/device_text.h"

#include <cstdio>
#include <cstring>

namespace {

// Length of the well-formed UTF-8 sequence at `s` (`left` bytes there), 0
// when none starts there.
size_t Utf8Length(const unsigned char* s, size_t left) {
  const unsigned char c = s[0];
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < n || s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return n;
}

}  // namespace

size_t EscapeDeviceText(char* out, size_t outSize, const char* text, size_t len) {
  static constexpr char kMark[] = "\u2026";  // "…", three bytes
  const size_t end = strnlen(text, len);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  // Where the text would stop if a cut came next: the mark must fit behind.
  size_t markAt = 0;
  size_t i = 0;
  while (i < end) {
    const unsigned char c = bytes[i];
    char piece[8];
    size_t taken = 1;
    if (c == '\r') {
      std::memcpy(piece, "\\r", 3);
    } else if (c == '\n') {
      std::memcpy(piece, "\\n", 3);
    } else if (c == '\t') {
      std::memcpy(piece, "\\t", 3);
    } else if (c == '\\') {
      // Escaped too, so that a device's own "\n" cannot read as one of ours.
      std::memcpy(piece, "\\\\", 3);
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(piece, sizeof piece, "\\x%02x", c);
    } else if (c < 0x80) {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    } else if ((taken = Utf8Length(bytes + i, end - i)) == 0) {
      // Not UTF-8: a lone C1 byte (0x80 to 0x9F, CSI among them) drives a
      // terminal as its control character would; other bytes stay.
      taken = 1;
      if (c <= 0x9f) {
        std::snprintf(piece, sizeof piece, "\\x%02x", c);
      } else {
        piece[0] = static_cast<char>(c);
        piece[1] = '\0';
      }
    } else if (c == 0xC2 && bytes[i + 1] <= 0x9f) {
      // U+0080 to U+009F written in UTF-8: the same controls.
      std::snprintf(piece, sizeof piece, "\\u%04x", bytes[i + 1]);
    } else {
      std::memcpy(piece, bytes + i, taken);
      piece[taken] = '\0';
    }
    const size_t k = std::strlen(piece);
    if (n + k + 1 > outSize) break;
    std::memcpy(out + n, piece, k);
    n += k;
    i += taken;
    if (n + sizeof kMark <= outSize) markAt = n;
  }
  if (i < end && markAt + sizeof kMark <= outSize) {
    // Cut: between whole characters and escapes, and said.
    n = markAt;
    std::memcpy(out + n, kMark, sizeof kMark - 1);
    n += sizeof kMark - 1;
  }
  out[n] = '\0';
  return n;
}
