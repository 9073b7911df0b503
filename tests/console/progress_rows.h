// Rows of the progress board for the progress tests: a client with a MAC,
// an address and a state, and its live block to set readings in.
#pragma once

#include <cstring>
#include <memory>

#include "report/device_record.h"
#include "report/progress_board.h"

namespace progress_test {

/// MAC 02-5A-00-00-0A-`last`, address 10.0.0.`ipLast`, firmware offered.
inline ProgressRow Row(uint8_t last, uint8_t ipLast, int32_t state) {
  ProgressRow row;
  const uint8_t mac[6] = {0x02, 0x5a, 0x00, 0x00, 0x0a, last};
  std::memcpy(row.mac, mac, 6);
  const uint8_t ip[4] = {10, 0, 0, ipLast};
  std::memcpy(&row.ipAddr, ip, 4);
  row.firmwareOffered = true;
  auto live = std::make_shared<DeviceLive>();
  live->state = state;
  row.live = live;
  return row;
}

/// The row's live block, for the test to play its client.
inline DeviceLive& Live(ProgressRow& row) { return const_cast<DeviceLive&>(*row.live); }

}  // namespace progress_test
