// Sealing of the supervisor password: each character shifted by a cycling
// fixed key and written as two hex digits, so the settings never hold it
// in plain text.
#include "console/password.h"

#include <cstdio>

const char PasswordKey[33] = "ZAVU@+555-7-1234-5678 !Ext 909#$";

namespace {

constexpr int kKeyLen = 32;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

int HexPairToByte(const char* pair, unsigned char* out) {
  // The second character is looked at only when the first is not the end.
  if (pair[0] == '\0' || pair[1] == '\0') return 0;
  const int hi = HexDigit(pair[0]);
  const int lo = HexDigit(pair[1]);
  if (hi < 0 || lo < 0) return 0;
  *out = static_cast<unsigned char>(hi * 16 + lo);
  return 1;
}

int SealPassword(const char* plain, char* out) {
  static const char kHex[] = "0123456789abcdef";
  int k = 0;
  char* o = out;
  for (const char* p = plain; *p != '\0'; ++p) {
    // Reduced modulo 256: for printable ASCII this is c + k - 32 itself
    // (32 to 220), and a character above 127 still gives one byte, hence
    // two digits, that unsealing turns back into the same character.
    const int c = static_cast<signed char>(*p);
    const int key = static_cast<unsigned char>(PasswordKey[k]);
    const unsigned v = static_cast<unsigned>(c + key - 32) & 0xFFu;
    *o++ = kHex[v >> 4];
    *o++ = kHex[v & 0xF];
    k = (k + 1) % kKeyLen;
  }
  *o = '\0';
  return 1;
}

int UnsealPassword(const char* sealed, char* out) {
  int k = 0;
  char* o = out;
  for (const char* s = sealed; *s != '\0'; s += 2) {
    unsigned char byte;
    if (!HexPairToByte(s, &byte)) {
      *o = '\0';
      return 0;
    }
    const int key = static_cast<unsigned char>(PasswordKey[k]);
    const unsigned char plain = static_cast<unsigned char>((byte - key + 32) & 0xFF);
    // No sealed password ever holds a NUL character; one here would
    // silently cut the password short.
    if (plain == 0) {
      *o = '\0';
      return 0;
    }
    *o++ = static_cast<char>(plain);
    k = (k + 1) % kKeyLen;
  }
  *o = '\0';
  return 1;
}
