// Device text escaped for our lines: printable text as it is, control
// characters as escapes, cut only between whole escapes.
#include "report/device_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Escaped(const std::string& text, size_t outSize = 256) {
  char out[256];
  const size_t n = EscapeDeviceText(out, outSize, text.data(), text.size());
  EXPECT_EQ(n, std::string(out).size());
  return out;
}

TEST(EscapeDeviceText, PrintableTextStaysAndControlsBecomeEscapes) {
  EXPECT_EQ(Escaped("string table 03"), "string table 03");
  EXPECT_EQ(Escaped("a\\nb \"q\" \xc3\xa9\xe2\x82\xac"), "a\\\\nb \"q\" \xc3\xa9\xe2\x82\xac")
      << "UTF-8 is text; a backslash is escaped, so a device's own \\n is not ours";
  // C1 controls (CSI 0x9b among them) drive terminals, as UTF-8 or as bytes.
  EXPECT_EQ(Escaped("\xc2\x9b" "2J|\x9b" "2J|\xc2\xa0|\xff"), "\\u009b2J|\\x9b2J|\xc2\xa0|\xff");
  EXPECT_EQ(Escaped("1\r\n2\t3\x1b[0m\x7f\x01"), "1\\r\\n2\\t3\\x1b[0m\\x7f\\x01");
  EXPECT_EQ(Escaped(std::string("ab\0cd", 5)), "ab") << "a zero byte ends the text";
}

// A cut falls between whole characters and escapes and says so with "…"
// (three bytes), for which it makes room.
TEST(EscapeDeviceText, CutsBetweenWholeCharactersAndEscapesWithAMark) {
  const std::string mark = "\xe2\x80\xa6";
  EXPECT_EQ(Escaped("abc\x01", 5), "a" + mark) << "\\x01 needs four bytes, one is left";
  EXPECT_EQ(Escaped("abc\x01", 8), "abc\\x01") << "it fits: no mark";
  EXPECT_EQ(Escaped("ab\xe2\x82\xac\xe2\x82\xac", 8), "ab" + mark)
      << "never inside a character";
  EXPECT_EQ(Escaped("\r\r", 4), mark);
  EXPECT_EQ(Escaped("abc", 1), "") << "no room for the mark either";
}

}  // namespace
