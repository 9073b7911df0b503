// The once-a-minute gate for lines about a device.
#include "protocol/per_device_gate.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = PerDeviceGate::Clock;

const uint8_t kA[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x01};
const uint8_t kB[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x02};

TEST(PerDeviceGate, LetsEachDeviceThroughOnceAnInterval) {
  PerDeviceGate gate(60s);
  const Clock::time_point t0 = Clock::now();
  EXPECT_TRUE(gate.Allow(kA, t0));
  EXPECT_FALSE(gate.Allow(kA, t0 + 1s));
  EXPECT_TRUE(gate.Allow(kB, t0 + 59s)) << "one device's line held back another's";
  EXPECT_FALSE(gate.Allow(kA, t0 + 59s + 999ms));
  EXPECT_TRUE(gate.Allow(kA, t0 + 60s));
  // The interval counts from the last line let through, not the last ask.
  EXPECT_FALSE(gate.Allow(kA, t0 + 119s));
  EXPECT_FALSE(gate.Allow(kB, t0 + 118s));
  EXPECT_TRUE(gate.Allow(kB, t0 + 119s));
  EXPECT_TRUE(gate.Allow(kA, t0 + 120s));
}

TEST(PerDeviceGate, ForgetsDevicesThatWentQuiet) {
  PerDeviceGate gate(60s);
  const Clock::time_point t0 = Clock::now();
  uint8_t mac[6] = {0x02, 0x5a, 0, 0, 0, 0};
  for (int i = 0; i < 500; ++i) {
    mac[4] = static_cast<uint8_t>(i >> 8);
    mac[5] = static_cast<uint8_t>(i);
    ASSERT_TRUE(gate.Allow(mac, t0 + std::chrono::milliseconds(i)));
  }
  EXPECT_EQ(gate.Size(), 500u);
  EXPECT_TRUE(gate.Allow(kA, t0 + 61s));
  EXPECT_EQ(gate.Size(), 1u) << "devices silent for a minute are still remembered";
  gate.Clear();
  EXPECT_EQ(gate.Size(), 0u);
  EXPECT_TRUE(gate.Allow(kA, t0 + 62s));
}

}  // namespace
