// L2_IfDescr: the quoted part of a capture device's description.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/if_list.h"

namespace {

constexpr int kTarget = 128;
constexpr char kSentinel = '\x7f';

// The target sits inside a larger buffer so a write past `size` shows.
struct Target {
  char bytes[kTarget + 16];
  Target() { std::memset(bytes, kSentinel, sizeof bytes); }
  bool tailUntouched(int size) const {
    for (size_t i = static_cast<size_t>(size); i < sizeof bytes; ++i)
      if (bytes[i] != kSentinel) return false;
    return true;
  }
};

std::string Descr(const char* description, int size = kTarget) {
  Target t;
  EXPECT_EQ(L2_IfDescr(t.bytes, description, size), 0);
  EXPECT_TRUE(t.tailUntouched(size)) << "wrote past " << size << " bytes";
  return std::string(t.bytes, strnlen(t.bytes, static_cast<size_t>(size)));
}

TEST(IfDescr, PlainQuotedAdapterNameIsKeptAlone) {
  EXPECT_EQ(Descr("Network adapter 'Intel(R) PRO/1000 MT Desktop Adapter' on local host"),
            "Intel(R) PRO/1000 MT Desktop Adapter");
  EXPECT_EQ(Descr("'eth0'"), "eth0");
}

TEST(IfDescr, FurtherQuotesInsideKeepEverythingUpToTheLastQuote) {
  EXPECT_EQ(Descr("Network adapter 'Bob's 'fast' NIC' on local host"), "Bob's 'fast' NIC");
  EXPECT_EQ(Descr("a 'b' c 'd' e"), "b' c 'd");
}

TEST(IfDescr, AdjacentQuotesGiveAnEmptyTarget) {
  EXPECT_EQ(Descr("Network adapter '' on local host"), "");
  EXPECT_EQ(Descr("''"), "");
}

TEST(IfDescr, FewerThanTwoQuotesGiveAnEmptyTarget) {
  EXPECT_EQ(Descr(nullptr), "");
  EXPECT_EQ(Descr(""), "");
  EXPECT_EQ(Descr("Pseudo-device that captures on all interfaces"), "");
  EXPECT_EQ(Descr("Adapter 'eth0 without its closing quote"), "");
}

TEST(IfDescr, LongQuotedPartIsCutToSizeLessOne) {
  const std::string exact(127, 'x');
  EXPECT_EQ(Descr(("'" + exact + "'").c_str()), exact);

  std::string longName;
  for (int i = 0; i < 200; ++i) longName += static_cast<char>('a' + i % 26);
  EXPECT_EQ(Descr(("Network adapter '" + longName + "' on local host").c_str()),
            longName.substr(0, 127));
  EXPECT_EQ(Descr(("'" + exact + "y'").c_str()), exact);
}

TEST(IfDescr, SmallTargetsHoldSizeLessOneCharacters) {
  EXPECT_EQ(Descr("x 'abcdef' y", 5), "abcd");
  EXPECT_EQ(Descr("x 'abcdef' y", 1), "");
  Target t;
  EXPECT_EQ(L2_IfDescr(t.bytes, "'abc'", 0), 0);
  EXPECT_TRUE(t.tailUntouched(0));
}

}  // namespace
