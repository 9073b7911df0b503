// Which marker the running kernel keeps for the server address.
#include <gtest/gtest.h>

#include "link/if_addr_mark.h"

namespace {

TEST(AddrMarkFor, ProtocolFieldFromLinux518On) {
  EXPECT_EQ(L2_AddrMarkFor("5.18.0"), L2_AddrMark::kProtocol);
  EXPECT_EQ(L2_AddrMarkFor("5.18"), L2_AddrMark::kProtocol);
  EXPECT_EQ(L2_AddrMarkFor("6.1.0-18-amd64"), L2_AddrMark::kProtocol);
  EXPECT_EQ(L2_AddrMarkFor("6.18.44-fc-v1272"), L2_AddrMark::kProtocol);
  EXPECT_EQ(L2_AddrMarkFor("10.0.1"), L2_AddrMark::kProtocol);
}

TEST(AddrMarkFor, LabelOnOlderKernels) {
  EXPECT_EQ(L2_AddrMarkFor("5.17.15-arch1-1"), L2_AddrMark::kLabel);
  EXPECT_EQ(L2_AddrMarkFor("5.15.0-91-generic"), L2_AddrMark::kLabel);
  EXPECT_EQ(L2_AddrMarkFor("4.19.0-21-amd64"), L2_AddrMark::kLabel);
  EXPECT_EQ(L2_AddrMarkFor("5.2.0"), L2_AddrMark::kLabel);
}

TEST(AddrMarkFor, UnreadableReleaseFallsBackToTheLabel) {
  EXPECT_EQ(L2_AddrMarkFor(nullptr), L2_AddrMark::kLabel);
  EXPECT_EQ(L2_AddrMarkFor(""), L2_AddrMark::kLabel);
  EXPECT_EQ(L2_AddrMarkFor("linux"), L2_AddrMark::kLabel);
  EXPECT_EQ(L2_AddrMarkFor("6"), L2_AddrMark::kLabel);
}

}  // namespace
