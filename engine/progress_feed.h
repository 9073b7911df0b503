// The Transfer Progress rows as the engine sends them: each client's facts
// computed once per reading, and only what changed since the last reading
// (plus the ids of the rows that left the run) for the front ends that
// already hold the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "console/recent_rate.h"
#include "remote/messages.h"
#include "report/progress_board.h"

class ProgressFeed {
 public:
  /// Reads `rows` at `nowMs` (steady clock): afterwards Changes() holds
  /// the rows that changed and the rows that left, and Whole() every row.
  void Read(const std::vector<ProgressRow>& rows, int64_t nowMs);
  const remote::ProgressNews& Changes() const { return changes_; }
  /// Every row of the run, for a front end that holds none of them.
  remote::ProgressNews Whole() const;

 private:
  struct Entry {
    std::shared_ptr<const DeviceLive> live;  // keeps the key's address unused
    remote::ProgressLine line;
    bool seen = false;
  };
  RecentRate rate_;
  std::unordered_map<const DeviceLive*, Entry> entries_;
  std::vector<const DeviceLive*> order_;  // the board's order of the rows
  uint32_t nextId_ = 1;
  remote::ProgressNews changes_;
};
