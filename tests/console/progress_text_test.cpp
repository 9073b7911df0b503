// The headless progress texts against their literal layouts: the SIGUSR2
// listing of the clients being served, and the --progress summary.
#include "console/progress_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "progress_rows.h"
#include "report/device_record.h"

using progress_test::Live;
using progress_test::Row;

TEST(ProgressText, ListingShowsEachClientBeingServedInFixedColumns) {
  const int64_t now = 1000000;
  std::vector<ProgressRow> rows = {Row(1, 2, TftpSending), Row(2, 3, Active),
                                   Row(3, 4, Closed)};
  DeviceLive& sending = Live(rows[0]);
  sending.blocks = DeviceLive::PackBlocks(0, 4, 6);
  sending.startMs = now - 10000;
  sending.resentAll = 2;
  Live(rows[1]).startMs = now - 3500;
  Live(rows[2]).startMs = now - 99000;  // finished: not listed

  // 1024 bytes over the last second: measured from the newest reading at
  // least a second old, not from the older one nor the younger one.
  RecentRate rate;
  sending.bytes = 0;
  rate.Sample(rows, now - 1200);
  sending.bytes = 1024;
  rate.Sample(rows, now - 1000);
  sending.bytes = 1536;
  rate.Sample(rows, now - 400);
  sending.bytes = 2048;

  EXPECT_EQ(ProgressListing(rows, rate, now),
            "02-5A-00-00-0A-01  10.0.0.2         TFTP-Sending     firmware             4/6 "
            "     66%       1.0 KiB/s     10.0 s  resent 2\n"
            "02-5A-00-00-0A-02  10.0.0.3         Active           -                    0/0 "
            "      0%       0.0 KiB/s      3.5 s  resent 0\n");
}

TEST(ProgressText, SummaryCountsOutcomesAndTheRateBetweenTwoCounts) {
  std::vector<ProgressRow> rows = {Row(1, 2, TftpSending), Row(2, 3, Active),
                                   Row(3, 4, Closed), Row(4, 5, Closed)};
  Live(rows[0]).bytes = 2048;
  Live(rows[2]).flags = fwUpgradeDone;  // Done
  Live(rows[2]).bytes = 10240;
  Live(rows[3]).bytes = 512;  // Closed without it: failed
  const ProgressCounts counts = CountProgress(rows);
  EXPECT_EQ(counts.inFlight, 2);
  EXPECT_EQ(counts.done, 1);
  EXPECT_EQ(counts.failed, 1);
  EXPECT_EQ(counts.bytes, 12800u);
  EXPECT_EQ(ProgressSummary(counts, 512, 5000),
            "progress: 2 in flight, 1 done, 1 failed, 2.4 KiB/s\n");
  EXPECT_EQ(ProgressSummary(counts, 20000, 5000),
            "progress: 2 in flight, 1 done, 1 failed, 0.0 KiB/s\n");
}

TEST(ProgressText, RateIsTheLastSecondsSoADeviceGoneSilentShowsNone) {
  std::vector<ProgressRow> rows = {Row(1, 2, TftpSending)};
  DeviceLive& live = Live(rows[0]);
  RecentRate rate;
  int64_t now = 50000;
  for (int i = 0; i < 20; ++i) {  // 10 s at 100 KiB/s
    now += 500;
    live.bytes = live.bytes + 51200;
    rate.Sample(rows, now);
  }
  EXPECT_NEAR(rate.BytesPerSecond(&live, now), 102400.0, 1.0);
  for (int i = 0; i < 3; ++i) rate.Sample(rows, now += 500);  // silent
  EXPECT_EQ(rate.BytesPerSecond(&live, now), 0.0);

  // Off the rows, its readings go: back later, it starts afresh.
  rate.Sample({}, now);
  live.bytes = live.bytes + 4096;
  rate.Sample(rows, now + 500);
  live.bytes = live.bytes + 1024;
  EXPECT_EQ(rate.BytesPerSecond(&live, now + 550), 0.0);  // too short a span yet
  EXPECT_NEAR(rate.BytesPerSecond(&live, now + 1000), 2048.0, 1.0);
}
