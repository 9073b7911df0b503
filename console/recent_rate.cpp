// Rates over the last second from a short history of readings per client.
#include "console/recent_rate.h"

#include <atomic>
#include <unordered_set>

void RecentRate::Sample(const std::vector<ProgressRow>& rows, int64_t nowMs) {
  std::unordered_set<const DeviceLive*> present;
  present.reserve(rows.size());
  for (const ProgressRow& row : rows) {
    const DeviceLive* live = row.live.get();
    if (!live) continue;
    present.insert(live);
    std::deque<Reading>& list = readings_[live];
    list.push_back({nowMs, live->bytes.load(std::memory_order_relaxed)});
    // Keep one reading at least a span old: the rate is taken from it.
    while (list.size() > 2 && list[1].ms <= nowMs - kSpanMs) list.pop_front();
  }
  for (auto it = readings_.begin(); it != readings_.end();) {
    it = present.count(it->first) ? std::next(it) : readings_.erase(it);
  }
}

double RecentRate::BytesPerSecond(const DeviceLive* live, int64_t nowMs) const {
  const auto it = readings_.find(live);
  if (it == readings_.end() || it->second.empty()) return 0.0;
  // The newest reading at least a span old, else the oldest there is.
  const std::deque<Reading>& list = it->second;
  const Reading* from = &list.front();
  for (const Reading& r : list) {
    if (r.ms > nowMs - kSpanMs) break;
    from = &r;
  }
  const int64_t ms = nowMs - from->ms;
  if (ms < 100) return 0.0;
  const uint64_t bytes = live->bytes.load(std::memory_order_relaxed);
  return bytes > from->bytes ? (bytes - from->bytes) * 1000.0 / ms : 0.0;
}
