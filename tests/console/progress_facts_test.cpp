// What each progress column says of a client, against literal texts: a
// device being served, finished ones, and every way a device fails.
#include "console/progress_facts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "progress_rows.h"

namespace {

using progress_test::Live;
using progress_test::Row;

constexpr int64_t kNow = 5000000;

std::vector<std::string> Texts(const ProgressFacts& f) {
  return std::vector<std::string>(f.text, f.text + kProgressColumns);
}

ProgressFacts FactsNow(const ProgressRow& row) { return ProgressFactsOf(row, RecentRate(), kNow); }

// A device that came 30 s ago and closed 6.2 s after it came.
ProgressRow Finished(uint32_t flags) {
  ProgressRow row = Row(7, 9, Closed);
  Live(row).flags = flags;
  Live(row).startMs = kNow - 30000;
  Live(row).endMs = kNow - 23800;
  return row;
}

TEST(ProgressFacts, ADeviceBeingServedShowsItsBarRateAndElapsedTime) {
  std::vector<ProgressRow> rows = {Row(1, 2, TftpSending)};
  DeviceLive& live = Live(rows[0]);
  live.blocks = DeviceLive::PackBlocks(1, 40, 160);
  live.startMs = kNow - 12500;
  live.resentAll = 3;
  RecentRate rate;
  rate.Sample(rows, kNow - 1000);
  live.bytes = 5120;

  const ProgressFacts f = ProgressFactsOf(rows[0], rate, kNow);
  EXPECT_EQ(Texts(f), (std::vector<std::string>{"02-5A-00-00-0A-01", "10.0.0.2", "TFTP-Sending",
                                                "string table 01", "25 % (40/160)", "5.0 KiB/s",
                                                "12.5 s", "3", "", "", ""}));
  EXPECT_EQ(f.mark, ProgressMark::kNone);
  // Numeric columns sort by number: 10.0.0.2 as one, not as text.
  EXPECT_EQ(f.sortKey[kColAddress], 0x0a000002);
  EXPECT_EQ(f.sortKey[kColProgress], 25);
  EXPECT_EQ(f.sortKey[kColRate], 5120);
  EXPECT_EQ(f.sortKey[kColElapsed], 12500);
  EXPECT_TRUE(ProgressColumnIsNumeric(kColResent));
  EXPECT_FALSE(ProgressColumnIsNumeric(kColMac));

  // Configured, nothing asked for yet.
  const ProgressFacts waiting = FactsNow(Row(2, 3, Active));
  EXPECT_EQ(waiting.text[kColImage], "-");
  EXPECT_EQ(waiting.text[kColProgress], "0 %");
  EXPECT_EQ(waiting.text[kColState], "Active");
}

TEST(ProgressFacts, AFinishedDeviceShowsItsOutcomeAndTotalTimeInsteadOfRateAndElapsed) {
  ProgressRow done = Finished(fwUpgradeDone);
  done.stMask = 0x20;  // and string table 06
  DeviceLive& live = Live(done);
  live.BeginTransfer(0, 1000);
  live.ImageSent(488);
  live.BeginTransfer(6, 1000);
  live.Acked(1, 512);
  live.ImageSent(488);
  const ProgressFacts f = FactsNow(done);
  // Finished, its bar counts the images received of those offered.
  EXPECT_EQ(Texts(f), (std::vector<std::string>{"02-5A-00-00-0A-07", "10.0.0.9", "Closed", "",
                                                "100 % (2/2 images)", "", "", "0", "Done",
                                                "6.2 s", ""}));
  EXPECT_EQ(f.mark, ProgressMark::kNone);
  // Finished devices sort apart from those being served.
  EXPECT_EQ(f.sortKey[kColRate], -1);
  EXPECT_EQ(f.sortKey[kColTotalTime], 6200);

  // Nothing was on offer: Done with a full bar.
  ProgressRow nothing = Finished(0);
  nothing.firmwareOffered = false;
  const ProgressFacts empty = FactsNow(nothing);
  EXPECT_EQ(empty.text[kColOutcome], "Done");
  EXPECT_EQ(empty.text[kColProgress], "100 %");
  EXPECT_EQ(empty.percent, 100);
}

TEST(ProgressFacts, AFailedDeviceSaysWhyInWords) {
  const auto failure = [](const ProgressRow& row) {
    const ProgressFacts f = FactsNow(row);
    EXPECT_EQ(f.text[kColOutcome], "Error");
    EXPECT_EQ(f.mark, ProgressMark::kFailed);
    return f.text[kColFailure];
  };

  ProgressRow timeout = Finished(tftpFailed);
  Live(timeout).BeginTransfer(0, 7 * 512 + 100);
  Live(timeout).Acked(3, 512);
  Live(timeout).TransferFailed(FailureCause::kTimeout, 4);
  EXPECT_EQ(failure(timeout), "timeout at block 4 of firmware");

  // The firmware refused with the device's own text (what could break the
  // line escaped), then string table 01 taken: the failure names the
  // firmware, and the bar has one image of two.
  ProgressRow refused = Finished(gracefulClosing);
  refused.stMask = 1;
  DeviceLive& live = Live(refused);
  live.BeginTransfer(0, 4000);
  live.TransferFailed(FailureCause::kTftpError, 3, 3, "Disk full\r\nreboot", 17);
  live.BeginTransfer(1, 700);
  live.Acked(1, 512);
  live.ImageSent(188);
  EXPECT_EQ(failure(refused), "TFTP error 3 on firmware: Disk full\\r\\nreboot");
  EXPECT_EQ(FactsNow(refused).text[kColProgress], "50 % (1/2 images)");
  ProgressRow mute = Finished(0);
  Live(mute).TransferFailed(FailureCause::kTftpError, 1, 2, "", 0);
  EXPECT_EQ(failure(mute), "TFTP error 2");
  // A text longer than a view shows: cut between characters, with its mark.
  ProgressRow verbose = Finished(0);
  const std::string said = std::string(509, 'x') + "\xc3\xa9 (retry after power cycle)";
  Live(verbose).TransferFailed(FailureCause::kTftpError, 1, 3, said.data(), said.size());
  EXPECT_EQ(failure(verbose), "TFTP error 3: " + std::string(508, 'x') + "\xe2\x80\xa6");

  EXPECT_EQ(failure(Finished(gracefulClosing)), "closed early");
  EXPECT_EQ(failure(Finished(0)), "no request");

  // Cut off by a stop mid-transfer: the stop is the cause, whatever failed
  // before; its bar stays on the image in flight, and it never reached an
  // end to time.
  ProgressRow stopped = Row(8, 10, TftpSending);
  Live(stopped).BeginTransfer(0, 20000);
  Live(stopped).TransferFailed(FailureCause::kTimeout, 2);
  Live(stopped).flags = interruptedByStop;
  const ProgressFacts s = FactsNow(stopped);
  EXPECT_EQ(failure(stopped), "stopped");
  EXPECT_EQ(s.text[kColProgress], "0 % (0/40)");
  EXPECT_EQ(s.text[kColImage], "firmware");
  EXPECT_EQ(s.text[kColTotalTime], "");
  EXPECT_EQ(s.text[kColRate], "");
}

TEST(ProgressFacts, ATransferThatFailedWhileTheDeviceIsStillServedMarksItFailing) {
  ProgressRow silent = Row(3, 4, Active);
  Live(silent).BeginTransfer(0, 20000);
  Live(silent).Acked(3, 512);
  Live(silent).TransferFailed(FailureCause::kTimeout, 4);
  ProgressFacts f = FactsNow(silent);
  EXPECT_EQ(f.text[kColOutcome], "");
  EXPECT_EQ(f.text[kColFailure], "timeout at block 4 of firmware");
  // Its bar stays where the device stopped.
  EXPECT_EQ(f.text[kColProgress], "7 % (3/40)");
  EXPECT_EQ(f.text[kColRate], "0.0 KiB/s");
  EXPECT_EQ(f.mark, ProgressMark::kFailing);

  // Its client may still write the text: only the code is shown.
  ProgressRow refused = Row(4, 5, TftpUploading);
  Live(refused).BeginTransfer(1, 700);
  Live(refused).TransferFailed(FailureCause::kTftpError, 0, 3, "Disk full", 9);
  f = FactsNow(refused);
  EXPECT_EQ(f.text[kColFailure], "TFTP error 3 on string table 01");
  EXPECT_EQ(f.mark, ProgressMark::kFailing);
}

}  // namespace
