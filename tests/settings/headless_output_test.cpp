// The headless server's output: a text that repeats while the server waits
// goes out once a minute at most, with the count of what was held; a
// journal entry of a board's line carries its MAC and outcome.
#include "console/headless/headless_output.h"

#include <gtest/gtest.h>

#include <cctype>

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

// The entry's priority and outcome come with the line from the outcome rule:
// a Done device's exit report may read "FW Upgrade: None" (nothing was on
// offer), and a device cut off in 'Closing' has no exit report at all.
TEST(JournalEntry, ABoardsLineCarriesItsMacAndTheOutcomeItWasPrintedWith) {
  struct Case {
    std::string line;
    LineNote note;
    std::string priority;
    std::string outcome;  // empty: no SKAV_OUTCOME field
  };
  const Case cases[] = {
      {"[02-5a-00-00-00-0a] exits. TFTP: Failed, FW Upgrade: None, Graceful Closing: Yes.",
       LineNote::kOutcomeError, "PRIORITY=4", "SKAV_OUTCOME=Error"},
      {"[02-5a-00-00-00-0b] exits. TFTP: None, FW Upgrade: None, Graceful Closing: Yes.",
       LineNote::kOutcomeDone, "PRIORITY=6", "SKAV_OUTCOME=Done"},
      {"[02-5a-00-00-00-0c] closing at the stop, outcome: Done", LineNote::kOutcomeDone,
       "PRIORITY=6", "SKAV_OUTCOME=Done"},
      {"[02-5a-00-00-00-0d] TFTP fails (timeout), go to 'Active' state", LineNote::kTrouble,
       "PRIORITY=4", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> expected = {"MESSAGE=" + c.line, c.priority,
                                         "SYSLOG_IDENTIFIER=skav-server",
                                         "SKAV_MAC=02-5A-00-00-00-" + c.line.substr(16, 2)};
    for (char& ch : expected[3]) ch = static_cast<char>(std::toupper(ch));
    if (!c.outcome.empty()) expected.push_back(c.outcome);
    EXPECT_EQ(JournalEntry(c.line.data(), c.line.size(), false, c.note), expected) << c.line;
  }
  const std::string banner = "SKAV Server starts running (region: 0)...";
  EXPECT_EQ(JournalEntry(banner.data(), banner.size(), false, LineNote::kNone).size(), 3u)
      << "no MAC, no field";
}
