// Reading the log file back: one section per server start, each with the
// outcome lines written during that run.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "soak/line_audit.h"

namespace soak {

/// Outcome lines of one run: per MAC, how many "Done" and "Error" lines.
struct OutcomeSection {
  std::map<MacKey, std::pair<int, int>> byMac;  ///< (done, error)
  int done = 0;
  int error = 0;
  int malformed = 0;  ///< lines that are neither banner nor outcome
};

/// Splits the file at each "Firmware Reworking starts" banner; section i
/// holds the lines after the (i+1)-th banner.
std::vector<OutcomeSection> ReadOutcomeLog(const std::string& path);

}  // namespace soak
