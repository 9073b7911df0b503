// Device text for our lines: control characters escaped.
#include "report/device_text.h"

#include <cstdio>
#include <cstring>

size_t EscapeDeviceText(char* out, size_t outSize, const char* text, size_t len) {
  size_t n = 0;
  for (size_t i = 0; i < len && text[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char piece[5];
    if (c == '\r') {
      std::memcpy(piece, "\\r", 3);
    } else if (c == '\n') {
      std::memcpy(piece, "\\n", 3);
    } else if (c == '\t') {
      std::memcpy(piece, "\\t", 3);
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(piece, sizeof piece, "\\x%02x", c);
    } else {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    }
    const size_t k = std::strlen(piece);
    if (n + k + 1 > outSize) break;
    std::memcpy(out + n, piece, k);
    n += k;
  }
  out[n] = '\0';
  return n;
}
