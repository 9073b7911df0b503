// Facts per client, compared with the last reading's.
#include "engine/progress_feed.h"

#include "report/device_record.h"

namespace {

// A record taken off the run (Clear, or forgotten) may linger on the board
// until the next cycle.
bool InRun(const ProgressRow& row) {
  return row.live && row.live->state.load(std::memory_order_relaxed) != Ended;
}

}  // namespace

void ProgressFeed::Read(const std::vector<ProgressRow>& rows, int64_t nowMs) {
  rate_.Sample(rows, nowMs);
  changes_ = remote::ProgressNews{};
  for (auto& [key, entry] : entries_) entry.seen = false;
  order_.clear();
  for (const ProgressRow& row : rows) {
    if (!InRun(row)) continue;
    const DeviceLive* key = row.live.get();
    auto [it, added] = entries_.try_emplace(key);
    Entry& e = it->second;
    e.seen = true;
    order_.push_back(key);
    ProgressFacts facts = ProgressFactsOf(row, rate_, nowMs);
    if (added) {
      e.live = row.live;
      e.line.id = nextId_++;
      e.line.startWallMs = row.live->startWallMs.load(std::memory_order_relaxed);
    } else if (facts == e.line.facts &&
               e.line.endWallMs == row.live->endWallMs.load(std::memory_order_relaxed)) {
      continue;
    }
    e.line.facts = std::move(facts);
    e.line.endWallMs = row.live->endWallMs.load(std::memory_order_relaxed);
    changes_.lines.push_back(e.line);
  }
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.seen) {
      ++it;
      continue;
    }
    changes_.gone.push_back(it->second.line.id);
    it = entries_.erase(it);
  }
}

remote::ProgressNews ProgressFeed::Whole() const {
  remote::ProgressNews whole;
  whole.whole = true;
  whole.lines.reserve(order_.size());
  for (const DeviceLive* key : order_) whole.lines.push_back(entries_.at(key).line);
  return whole;
}
