// Progress texts for a terminal or the journal: fixed columns, so that a
// slow device and a dead one are told apart at a glance.
#include "console/progress_text.h"

#include <cstdio>

#include "console/progress_facts.h"
#include "report/device_record.h"

std::string ProgressListing(const std::vector<ProgressRow>& rows, const RecentRate& rate,
                            int64_t nowMs) {
  std::string out;
  for (const ProgressRow& row : rows) {
    const int32_t state = row.live->state.load(std::memory_order_relaxed);
    if (state == Closed || state == Ended) continue;
    const ProgressFacts f = ProgressFactsOf(row, rate, nowMs);
    char line[200];
    std::snprintf(line, sizeof line,
                  "%s  %-15s  %-15s  %-15s  %5u/%-5u %3d%%  %8.1f KiB/s  %7.1f s  resent %u\n",
                  f.text[kColMac].c_str(), f.text[kColAddress].c_str(),
                  f.text[kColState].c_str(), f.text[kColImage].c_str(), f.acked, f.total,
                  f.percent, f.bytesPerSecond / 1024.0, f.elapsedMs / 1000.0, f.resent);
    out += line;
  }
  return out;
}

ProgressCounts CountProgress(const std::vector<ProgressRow>& rows) {
  ProgressCounts c;
  for (const ProgressRow& row : rows) {
    const DeviceLive& live = *row.live;
    const int32_t state = live.state.load(std::memory_order_relaxed);
    const uint32_t flags = live.flags.load(std::memory_order_relaxed);
    c.bytes += live.bytes.load(std::memory_order_relaxed);
    switch (OutcomeOf(state, flags, row.firmwareOffered, row.stMask)) {
      case Outcome::kReworking:
        if (state != Ended) ++c.inFlight;
        break;
      case Outcome::kDone:
        ++c.done;
        break;
      case Outcome::kError:
        ++c.failed;
        break;
    }
  }
  return c;
}

std::string ProgressSummary(const ProgressCounts& now, uint64_t bytesBefore, int64_t ms) {
  const uint64_t moved = now.bytes > bytesBefore ? now.bytes - bytesBefore : 0;
  const double kibPerS = ms > 0 ? moved / 1024.0 / (ms / 1000.0) : 0.0;
  char line[128];
  std::snprintf(line, sizeof line, "progress: %d in flight, %d done, %d failed, %.1f KiB/s\n",
                now.inFlight, now.done, now.failed, kibPerS);
  return line;
}
