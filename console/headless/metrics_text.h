// The server's counters in the Prometheus text exposition format (0.0.4),
// as node_exporter's textfile collector reads them.
#pragma once

#include <cstdint>
#include <string>

#include "report/run_counters.h"

/// One reading of the counters, with whether a run is on.
struct MetricsValues {
  uint64_t done = 0;
  uint64_t failed = 0;
  uint32_t inFlight = 0;
  uint64_t bytes = 0;
  uint64_t resent = 0;
  uint64_t createFailures = 0;
  uint64_t turnedAway = 0;
  uint64_t cycles = 0;
  bool running = false;
};

/// A relaxed reading of `counters` (each value on its own).
MetricsValues ReadMetrics(const RunCounters& counters, bool running);

/// The counters of `now` counted from `base` (a reading taken when the
/// interface changed); the gauges as they are.
MetricsValues MetricsSince(const MetricsValues& now, const MetricsValues& base);

/// `value` as a label value: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);

/// The whole file: # HELP and # TYPE before each metric, every sample
/// labelled interface="`interface`", ended by a line feed.
std::string MetricsText(const MetricsValues& values, const std::string& interface);
