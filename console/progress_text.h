// The headless server's progress texts: one line per client being served
// (SIGUSR2) and a one-line summary of the run (--progress).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/recent_rate.h"
#include "report/progress_board.h"

/// One line per client not yet Closed, in the rows' order: MAC, address,
/// state, image, DATA blocks acknowledged of total with the percentage,
/// the rate over the last second (`rate`, sampled by the caller), the time
/// since the device came, and the packets sent again. `nowMs` is the steady
/// clock.
std::string ProgressListing(const std::vector<ProgressRow>& rows, const RecentRate& rate,
                            int64_t nowMs);

/// What a summary counts.
struct ProgressCounts {
  int inFlight = 0;  ///< not yet Closed
  int done = 0;
  int failed = 0;
  uint64_t bytes = 0;  ///< acknowledged, every client
};

ProgressCounts CountProgress(const std::vector<ProgressRow>& rows);

/// "progress: N in flight, N done, N failed, R KiB/s\n", the rate being
/// the bytes acknowledged between two counts `ms` apart.
std::string ProgressSummary(const ProgressCounts& now, uint64_t bytesBefore, int64_t ms);
