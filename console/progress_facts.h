// What the progress views say of one client at one moment, column by
// column: the Transfer Progress window's rows and the headless listing.
#pragma once

#include <cstdint>
#include <string>

#include "console/recent_rate.h"
#include "report/device_record.h"
#include "report/progress_board.h"

/// The columns of a progress row, in the window's order.
enum ProgressColumn : int {
  kColMac,
  kColAddress,
  kColState,
  kColImage,
  kColProgress,
  kColRate,
  kColElapsed,
  kColResent,
  kColOutcome,
  kColTotalTime,
  kColFailure,  ///< last: its texts are the longest
  kProgressColumns
};

/// The column's heading.
const char* ProgressColumnTitle(int column);
/// A sentence on what the column shows, for a tooltip of its heading.
const char* ProgressColumnHint(int column);
/// True when the column sorts by ProgressFacts::sortKey, not by its text.
bool ProgressColumnIsNumeric(int column);

/// The name of a client state as the progress views show it
/// ("TFTP-Sending"); a record removed from the run counts as Closed.
const char* ProgressStateName(int32_t state);

/// How a row should stand out.
enum class ProgressMark {
  kNone,
  kFailing,  ///< still being served, but a transfer of it has failed
  kFailed,   ///< finished with the outcome Error
};

/// One client as the progress views show it: the text of every column, the
/// numbers the numeric columns sort by, and the readings behind them.
struct ProgressFacts {
  std::string text[kProgressColumns];
  double sortKey[kProgressColumns] = {};

  int32_t state = 0;
  uint32_t acked = 0;  ///< DATA blocks of the image in flight (or last)
  uint32_t total = 0;
  int percent = 0;  ///< of acked / total; 100 once Done
  double bytesPerSecond = 0.0;  ///< over the last second
  int64_t elapsedMs = 0;  ///< since the device came, up to its end
  uint32_t resent = 0;  ///< packets sent again, every transfer
  /// Reworking while being served; Error also for a device a stop cut off.
  Outcome outcome = Outcome::kReworking;
  ProgressMark mark = ProgressMark::kNone;

  bool operator==(const ProgressFacts&) const = default;
};

/// The facts of `row` at `nowMs` (steady clock), its rate taken from
/// `rate`, which the caller samples. Reads the row's live block without a
/// lock; the device's own TFTP error text only once it is Closed, when its
/// client writes no more.
ProgressFacts ProgressFactsOf(const ProgressRow& row, const RecentRate& rate, int64_t nowMs);
