// The run's counters: each outcome counted once, as the log file writes it
// (a device a stop cut off is an Error), and no total going down when Clear
// takes records away.
#include "report/run_counters.h"

#include <gtest/gtest.h>

#include <ostream>

#include "panel_devices.h"

namespace {

struct Totals {
  uint64_t done, failed;
  uint32_t inFlight;
  uint64_t bytes, resent;
  bool operator==(const Totals&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Totals& t) {
  return out << "done " << t.done << ", failed " << t.failed << ", in flight " << t.inFlight
             << ", bytes " << t.bytes << ", resent " << t.resent;
}

Totals Count(RunCounters& counters, const Devices& devices) {
  CountOutcomes(counters, devices.head());
  return Totals{counters.done.load(), counters.failed.load(), counters.inFlight.load(),
                counters.bytes.load(), counters.resent.load()};
}

void Moved(DeviceRecord* c, uint64_t bytes, uint32_t resent) {
  c->live->bytes.store(bytes);
  c->live->resentAll.store(resent);
}

TEST(RunCounters, CountEachOutcomeOnceAndNeverDropWhenRecordsGo) {
  Devices devices;
  DeviceRecord* a = devices.Add(MacOf(1));
  DeviceRecord* b = devices.Add(MacOf(2));
  DeviceRecord* c = devices.Add(MacOf(3));
  RunCounters counters;
  Moved(a, 1000, 0);
  Moved(b, 512, 3);
  EXPECT_EQ(Count(counters, devices), (Totals{0, 0, 3, 1512, 3}));

  Moved(a, 1536, 1);
  Devices::FinishDone(a);
  Devices::FinishError(b);
  EXPECT_EQ(Count(counters, devices), (Totals{1, 1, 1, 2048, 4}));
  EXPECT_TRUE(a->HasFlag(outcomeCounted) && b->HasFlag(outcomeCounted));
  EXPECT_FALSE(c->HasFlag(outcomeCounted));
  // Seen again every cycle, counted once.
  EXPECT_EQ(Count(counters, devices), (Totals{1, 1, 1, 2048, 4}));

  // Clear takes the Done device away: its outcome and bytes stay counted.
  devices.RemoveDone();
  ASSERT_EQ(devices.Find(MacOf(1)), nullptr);
  Moved(c, 100, 0);
  EXPECT_EQ(Count(counters, devices), (Totals{1, 1, 1, 2148, 4}));

  // A stop cuts the last one off after it had everything: Error, as the
  // log file writes it, and nothing is left in flight.
  c->SetFlag(fwUpgradeDone);
  c->SetFlag(interruptedByStop);
  Moved(c, 200, 2);
  EXPECT_EQ(Count(counters, devices), (Totals{1, 2, 0, 2248, 6}));
}

}  // namespace
