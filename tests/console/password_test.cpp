// Password sealing: the sealed texts for known passwords, the rejects of
// unsealing, and sealing and unsealing as inverses for every character.
#include "console/password.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

std::string Seal(const std::string& plain) {
  std::string out(plain.size() * 2 + 1, '\x7f');
  EXPECT_EQ(SealPassword(plain.c_str(), out.data()), 1);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// Returns the unseal result; the plain text lands in `plain`.
int Unseal(const std::string& sealed, std::string* plain) {
  std::string out(sealed.size() / 2 + 1, '\x7f');
  int rc = UnsealPassword(sealed.c_str(), out.data());
  out.resize(std::strlen(out.c_str()));  // terminated on every path
  *plain = out;
  return rc;
}

// Heap copy of exactly the given characters (terminator included), so a
// read past the terminator is an overflow AddressSanitizer reports.
int HexPair(const char* text, size_t withTerminator, unsigned char* out) {
  std::unique_ptr<char[]> copy(new char[withTerminator]);
  std::memcpy(copy.get(), text, withTerminator);
  return HexPairToByte(copy.get(), out);
}

bool IsLowerHex(const std::string& s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST(PasswordSeal, KeyIsTheFixedText) {
  EXPECT_STREQ(PasswordKey, "ZAVU@+555-7-1234-5678 !Ext 909#$");
  EXPECT_EQ(std::strlen(PasswordKey), 32u);
}

TEST(PasswordSeal, OneCharacterIsItsCodePlusFirstKeyMinus32) {
  // 'Z' is 90: 'A' 65 + 90 - 32 = 123.
  EXPECT_EQ(Seal("A"), "7b");
  EXPECT_EQ(Seal(" "), "5a");
  EXPECT_EQ(Seal("~"), "b8");
  EXPECT_EQ(Seal("0"), "6a");
}

TEST(PasswordSeal, EmptyPasswordSealsToEmptyText) {
  EXPECT_EQ(Seal(""), "");
  std::string plain = "x";
  EXPECT_EQ(Unseal("", &plain), 1);
  EXPECT_EQ(plain, "");
}

TEST(PasswordSeal, KeyCyclesAfterThirtyTwoCharacters) {
  // 'a' is 97, so each pair is 65 + the key character.
  const std::string sealed32 =
      "9b829796816c7676766e786e727374756e76777879616286b9b5617a717a6465";
  EXPECT_EQ(Seal(std::string(32, 'a')), sealed32);
  EXPECT_EQ(Seal(std::string(33, 'a')), sealed32 + "9b");

  std::string plain;
  ASSERT_EQ(Unseal(sealed32, &plain), 1);
  EXPECT_EQ(plain, std::string(32, 'a'));
}

TEST(PasswordSeal, MixedPasswordRoundTrip) {
  const std::string pw = "Sup3r-Visor!~ {pass}";
  const std::string sealed = Seal(pw);
  EXPECT_EQ(sealed.size(), 2 * pw.size());
  EXPECT_TRUE(IsLowerHex(sealed));
  std::string plain;
  ASSERT_EQ(Unseal(sealed, &plain), 1);
  EXPECT_EQ(plain, pw);
}

TEST(PasswordUnseal, AcceptsUpperCaseDigits) {
  std::string plain;
  ASSERT_EQ(Unseal("7B5A", &plain), 1);
  // Second key character 'A' is 65: 0x5a (90) - 65 + 32 = 57, '9'.
  EXPECT_EQ(plain, "A9");
}

TEST(PasswordUnseal, RejectsOddLengthAndNonHex) {
  std::string plain;
  EXPECT_EQ(Unseal("7", &plain), 0);
  EXPECT_EQ(Unseal("7b5", &plain), 0);
  EXPECT_EQ(Unseal("7g", &plain), 0);
  EXPECT_EQ(Unseal("zz", &plain), 0);
  EXPECT_EQ(Unseal(" 7b", &plain), 0);
  EXPECT_EQ(Unseal("7b-5", &plain), 0);
}

TEST(PasswordUnseal, RejectsAPairThatDecodesToNul) {
  // 0x3a - 'Z' + 32 = 0: no sealed password holds it, and it would cut the
  // password short.
  std::string plain;
  EXPECT_EQ(Unseal("3a", &plain), 0);
  EXPECT_EQ(Unseal("7b21", &plain), 0);  // under 'A': 0x21 - 65 + 32 = 0
}

TEST(PasswordHexPair, DigitsAndBoundaries) {
  unsigned char b = 0;
  EXPECT_EQ(HexPair("00", 3, &b), 1);
  EXPECT_EQ(b, 0x00);
  EXPECT_EQ(HexPair("ff", 3, &b), 1);
  EXPECT_EQ(b, 0xff);
  EXPECT_EQ(HexPair("FF", 3, &b), 1);
  EXPECT_EQ(b, 0xff);
  EXPECT_EQ(HexPair("9A", 3, &b), 1);
  EXPECT_EQ(b, 0x9a);
  EXPECT_EQ(HexPair("a0", 3, &b), 1);
  EXPECT_EQ(b, 0xa0);
  // Neighbours of the digit ranges in ASCII.
  for (const char* bad : {"/0", ":0", "@0", "G0", "`0", "g0", "0/", "0:",
                          "0@", "0G", "0`", "0g"}) {
    EXPECT_EQ(HexPair(bad, 3, &b), 0) << bad;
  }
}

TEST(PasswordHexPair, StopsAtTheTerminator) {
  unsigned char b = 0;
  EXPECT_EQ(HexPair("", 1, &b), 0);   // the second character is never read
  EXPECT_EQ(HexPair("7", 2, &b), 0);
}

TEST(PasswordSeal, InverseForEveryCharacterAtEveryKeyPosition) {
  // 32 copies put the character under each key character once. Above 127
  // the value wraps modulo 256, so it always takes exactly two digits.
  for (int c = 1; c < 256; ++c) {
    const std::string pw(32, static_cast<char>(c));
    const std::string sealed = Seal(pw);
    ASSERT_EQ(sealed.size(), 64u) << c;
    ASSERT_TRUE(IsLowerHex(sealed)) << c;
    std::string plain;
    ASSERT_EQ(Unseal(sealed, &plain), 1) << c;
    ASSERT_EQ(plain, pw) << c;
  }
}

TEST(PasswordSeal, HighCharacterWithSmallKeyStaysTwoDigits) {
  // 0x80 read as signed is -128: -128 + 90 - 32 = -70, which as a byte is
  // 186 (0xba) rather than a negative number in eight digits.
  EXPECT_EQ(Seal("\x80"), "ba");
  EXPECT_EQ(Seal("\xff"), "39");  // -1 + 90 - 32 = 57
  std::string plain;
  ASSERT_EQ(Unseal("ba39", &plain), 1);
  // Second key character 'A' (65): 0x39 - 65 + 32 = 24.
  EXPECT_EQ(plain, std::string("\x80\x18", 2));
}

}  // namespace
