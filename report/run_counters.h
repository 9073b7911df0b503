// Counts of everything the server has done since the process started, for
// a front end that exports them to a monitoring system: they only grow,
// whatever Clear, --forget-after or a new run remove from the client list.
#pragma once

#include <atomic>
#include <cstdint>

struct DeviceRecord;

/// Written by the server thread only (relaxed: each value stands alone),
/// read by any thread. Kept by the front end across runs.
struct RunCounters {
  std::atomic<uint64_t> done{0};    ///< outcomes written as Done
  std::atomic<uint64_t> failed{0};  ///< outcomes written as Error
  /// Clients whose outcome is not yet final (a gauge; 0 between runs).
  std::atomic<uint32_t> inFlight{0};
  /// Bytes of DATA blocks acknowledged, every client.
  std::atomic<uint64_t> bytes{0};
  /// TFTP packets (WRQ and DATA) sent again, every client.
  std::atomic<uint64_t> resent{0};
  /// CONF-REQ of new devices that got no client: the system refused the
  /// record or its thread, or the ceiling on clients was reached.
  std::atomic<uint64_t> createFailures{0};
  std::atomic<uint64_t> turnedAway{0};
  /// Rounds of the server loop (an ADVERTISE and up to 500 ms of frames).
  std::atomic<uint64_t> cycles{0};

  // Server thread only: what clients already counted had moved, so that
  // their bytes stay in the totals once their records are gone.
  uint64_t bytesOfCounted = 0;
  uint64_t resentOfCounted = 0;
};

/// Outcomes written, Done and Error.
struct OutcomeTally {
  uint64_t done = 0;
  uint64_t failed = 0;
};

/// The outcomes written since `base` (a reading taken as a run began):
/// what a run's summary counts. A device cleared or retried keeps its
/// outcome there, and one served again counts once more.
inline OutcomeTally TallySince(const RunCounters& counters, const OutcomeTally& base) {
  return {counters.done.load(std::memory_order_relaxed) - base.done,
          counters.failed.load(std::memory_order_relaxed) - base.failed};
}

/// Counts each client of `list` whose outcome has become final (Closed, or
/// cut off by a stop) once, marking it outcomeCounted, and refreshes the
/// gauge and the byte and resend totals. Server thread, once a cycle,
/// after the outcomes are written and before any client can be removed.
void CountOutcomes(RunCounters& counters, DeviceRecord* list);
