// The process's counts of outcomes, bytes and resends: each client counted
// once, when its outcome becomes final, so that no removal of records can
// make a total go down.
#include "report/run_counters.h"

#include "report/device_record.h"

void CountOutcomes(RunCounters& counters, DeviceRecord* list) {
  uint32_t inFlight = 0;
  uint64_t bytesLive = 0, resentLive = 0;
  uint64_t done = 0, failed = 0;
  for (DeviceRecord* c = list; c != nullptr; c = c->next) {
    if (c->HasFlag(outcomeCounted)) continue;
    const DeviceLive& live = *c->live;
    const Outcome outcome = ClientOutcome(*c);
    if (outcome == Outcome::kReworking) {
      ++inFlight;
      bytesLive += live.bytes.load(std::memory_order_relaxed);
      resentLive += live.resentAll.load(std::memory_order_relaxed);
      continue;
    }
    (outcome == Outcome::kDone ? done : failed) += 1;
    counters.bytesOfCounted += live.bytes.load(std::memory_order_relaxed);
    counters.resentOfCounted += live.resentAll.load(std::memory_order_relaxed);
    c->SetFlag(outcomeCounted);
  }
  counters.done.fetch_add(done, std::memory_order_relaxed);
  counters.failed.fetch_add(failed, std::memory_order_relaxed);
  counters.inFlight.store(inFlight, std::memory_order_relaxed);
  // A client in flight only gains bytes, and one counted keeps at least
  // what it had when it was last seen in flight: the sums only grow. The
  // maximum guards the exported totals all the same.
  auto raise = [](std::atomic<uint64_t>& total, uint64_t value) {
    if (value > total.load(std::memory_order_relaxed))
      total.store(value, std::memory_order_relaxed);
  };
  raise(counters.bytes, counters.bytesOfCounted + bytesLive);
  raise(counters.resent, counters.resentOfCounted + resentLive);
}
