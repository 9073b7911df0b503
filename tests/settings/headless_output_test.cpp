// The headless server's output: a text that repeats while the server waits
// goes out once a minute at most, with the count of what was held; a
// journal entry of a board's line carries its MAC and outcome.
#include "console/headless/headless_output.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(RepeatGate, HoldsRepeatsForAMinuteAndThenCountsThem) {
  RepeatGate gate;
  const RepeatGate::Clock::time_point t0{};
  const std::string open = "Unable to open the interface: vs1 is not up\n";
  const std::string stopped = "SKAV Server is stopped.\r\n";
  EXPECT_EQ(gate.Pass(open, t0), open) << "off: everything goes out";
  EXPECT_EQ(gate.Pass(open, t0 + 1s), open);

  gate.SetOn(true);
  EXPECT_EQ(gate.Pass(open, t0), open);
  EXPECT_EQ(gate.Pass(stopped, t0), stopped) << "another text has a count of its own";
  for (int i = 1; i <= 59; ++i) {
    EXPECT_EQ(gate.Pass(open, t0 + std::chrono::seconds(i)), "");
    EXPECT_EQ(gate.Pass(stopped, t0 + std::chrono::seconds(i)), "");
  }
  EXPECT_EQ(gate.Pass(open, t0 + 60s), "Unable to open the interface: vs1 is not up "
                                       "(repeated 60 times)\n");
  EXPECT_EQ(gate.Pass(stopped, t0 + 61s), "SKAV Server is stopped. (repeated 60 times)\r\n");
  EXPECT_EQ(gate.Pass(open, t0 + 61s), "") << "the minute starts anew at each print";

  gate.SetOn(false);
  gate.SetOn(true);
  EXPECT_EQ(gate.Pass(open, t0 + 62s), open) << "a new wait starts with fresh counts";
}

}  // namespace

TEST(JournalEntry, ABoardsOutcomeLineCarriesItsMacOutcomeAndPriority) {
  const std::string failed =
      "[02-5a-00-00-00-0a] exits. TFTP: Failed, FW Upgrade: None, Graceful Closing: Yes.";
  EXPECT_EQ(JournalEntry(failed.data(), failed.size(), false),
            (std::vector<std::string>{"MESSAGE=" + failed, "PRIORITY=4",
                                      "SYSLOG_IDENTIFIER=skav-server",
                                      "SKAV_MAC=02-5A-00-00-00-0A", "SKAV_OUTCOME=Error"}));
  const std::string done =
      "[02-5a-00-00-00-0b] exits. TFTP: Done, FW Upgrade: Done, Graceful Closing: Yes.";
  const std::vector<std::string> fields = JournalEntry(done.data(), done.size(), false);
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[1], "PRIORITY=6");
  EXPECT_EQ(fields[4], "SKAV_OUTCOME=Done");
  const std::string banner = "SKAV Server starts running (region: 0)...";
  EXPECT_EQ(JournalEntry(banner.data(), banner.size(), false).size(), 3u) << "no MAC, no field";
}
