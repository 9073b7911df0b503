// Each client's rate over about the last second, from samples of its bytes
// that the reader takes as it refreshes (the window's timer, the headless
// loop): a device that went silent shows 0 at once, not the average of a
// transfer that was fast until a minute ago.
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "report/progress_board.h"

class RecentRate {
 public:
  /// The span the rate is taken over.
  static constexpr int64_t kSpanMs = 1000;

  /// Notes every row's bytes at `nowMs` (steady clock) and forgets the
  /// clients no longer on the rows. Call it at least twice a second.
  void Sample(const std::vector<ProgressRow>& rows, int64_t nowMs);

  /// Bytes a second that `live` had acknowledged over the last second (over
  /// what has been sampled, when that is shorter); 0 before two readings
  /// 100 ms apart exist.
  double BytesPerSecond(const DeviceLive* live, int64_t nowMs) const;

 private:
  struct Reading {
    int64_t ms;
    uint64_t bytes;
  };
  // Keyed by the live block, which a row holds, so the address is not
  // reused while the key is kept: Sample drops the keys of rows gone.
  std::unordered_map<const DeviceLive*, std::deque<Reading>> readings_;
};
