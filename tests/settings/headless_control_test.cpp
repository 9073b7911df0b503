// The unattended headless server driven the Unix way, black box in
// namespaces with simulated devices: skav-server ctl, the outcome lines a stop writes for
// devices it interrupts, the counters --metrics keeps of them, SIGUSR1
// (Clear), SIGUSR2 (the panel, and the listing of a device mid-transfer),
// SIGHUP (a reload that takes only settings that load and files that open),
// --forget-after,
// and the journal's form of the output, a pulled and re-plugged adapter,
// and a bench PC's own network: a port left down, a server address that
// another program removes, and a port the settings name that is not there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "headless_support.h"
#include "integration/e2e_support.h"
#include "support/netns.h"

#if defined(SKAV_SERVER_BIN) && defined(SKAV_DEVSIM_PATH)

namespace {

using namespace std::chrono_literals;
using e2e::Child;

constexpr auto kStartLimit = 30s;
constexpr auto kSimLimit = 40s;
// A Done or Error outcome shows 6 s (the Close timer) after CLOSE-REQ.
constexpr auto kOutcomeLimit = 20s;
const std::string kStarted = "SKAV Server starts running (region: 0)...\r\n";

class HeadlessControl : public ::testing::Test {
 protected:
  void SetUp() override {
    SKAV_REQUIRE_NETNS();
    net_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(net_->ok()) << "cannot create the namespaces";
    settings_ = dir_.File("SKAVD.conf");
    log_ = dir_.File("outcomes.log");
  }

  std::string Firmware(const std::string& name, size_t size, uint32_t seed) {
    const e2e::Bytes bytes = e2e::Pattern(size, seed);
    const std::string path = dir_.File(name);
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }

  void WriteSettings(const std::string& firmware, bool withLog) {
    std::string text = "[General]\nInterface Name=" + net_->serverIf() + "\nFirmware Path=" +
                       firmware + "\n";
    if (withLog) text += "Log Enable=1\nLog Path=" + log_ + "\n";
    WriteFile(settings_, text);
  }

  // The simulator for one device of MAC `mac` ("02:5a:..."), expecting the
  // firmware `firmware` (none when empty), with `extra` options.
  std::unique_ptr<Child> Device(const std::string& mac, const std::string& firmware,
                                std::vector<std::string> extra = {},
                                const std::string& timeout = "30") {
    std::vector<std::string> a = {SKAV_DEVSIM_PATH, "--if",      net_->deviceIf(),
                                  "--timeout",      timeout,     "--base-mac", mac};
    if (!firmware.empty()) {
      a.push_back("--expect");
      a.push_back("firmware=" + firmware);
    }
    a.insert(a.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(net_->deviceNs(), a);
  }

  std::string LogText() const { return ReadFile(log_); }
  bool WaitForLog(const std::string& part) const {
    return WaitUntil([&] { return LogText().find(part) != std::string::npos; }, kOutcomeLimit);
  }

  std::unique_ptr<NetnsPair> net_;
  TempDir dir_;
  std::string settings_, log_;
};

// SIGUSR2 until the panel printed reads `panel` (it is refreshed once a
// second), at most `limit`.
bool SignalUntilPanel(ServerProcess& server, const std::string& panel,
                      std::chrono::milliseconds limit = 10s) {
  return WaitUntil(
      [&] {
        const int before = CountOf(server.Out(), panel);
        kill(server.pid(), SIGUSR2);
        return WaitUntil([&] { return CountOf(server.Out(), panel) > before; }, 400ms);
      },
      limit);
}

// The value of the one sample of `name` in a metrics file; -1 when absent.
long long Sample(const std::string& text, const std::string& name, const std::string& labels) {
  const std::string head = "\n" + name + "{" + labels + "} ";
  const size_t at = text.find(head);
  if (at == std::string::npos) return -1;
  return std::atoll(text.c_str() + at + head.size());
}

// Whether signal `signo` waits to be taken by process `pid`.
bool SignalPending(pid_t pid, int signo) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("ShdPnd:\t");
  if (at == std::string::npos) return false;
  const unsigned long long mask = std::strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (signo - 1) & 1) != 0;
}

// The end of a long output, for a failure's message.
std::string Tail(const std::string& text) {
  return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

// The groups of the first line matching `line` in what standard output got
// from `from` on (the whole line first); empty when none.
std::vector<std::string> ListingLine(const std::string& out, size_t from, const std::regex& line) {
  const std::string text = out.substr(from);
  std::smatch m;
  if (!std::regex_search(text, m, line)) return {};
  return std::vector<std::string>(m.begin(), m.end());
}

TEST_F(HeadlessControl, SlowAndSilentDevicesAreListedThenLoggedAndCountedOnceAtTheStop) {
  const std::string firmware = Firmware("fw.bin", 256 * 1024, 1);
  WriteSettings(firmware, true);
  // The metrics file's folder comes later: the server says so once and
  // keeps trying.
  const std::string folder = dir_.File("textfile");
  const std::string metrics = folder + "/skav.prom";
  ServerProcess server(net_->serverNs(), settings_, dir_, {.args = {"--metrics", metrics}});
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();

  auto done = Device("02:5a:00:00:01:01", firmware);
  // Every second ACK left out: half a second a block, minutes in all.
  auto slow = Device("02:5a:00:00:01:02", "", {"--drop-ack", "2"}, "120");
  auto idle = Device("02:5a:00:00:01:03", "",
                     {"--silent-after", "conf-ack", "--silent-for", "60000"}, "120");
  EXPECT_EQ(done->Wait(kSimLimit), 0) << done->output();
  ASSERT_TRUE(WaitForLog("02-5A-00-00-01-01: Done    \r\n")) << LogText() << server.Out();
  ASSERT_TRUE(server.WaitForOut("[02-5a-00-00-01-02] go to 'TFTP-Uploading' state", 5s));
  ASSERT_TRUE(server.WaitForOut("[02-5a-00-00-01-03] RX SKAV CONF-REQ", 5s));
  ASSERT_EQ(server.Out().find("[02-5a-00-00-01-02] exits."), std::string::npos)
      << "the slow device finished before the stop";

  // SIGUSR2 lists the two devices being served: the slow one moving through
  // its 513 blocks, the silent one with nothing in flight. The layout:
  // MAC, address, state, image, acknowledged/total percent, rate, time,
  // packets sent again.
  const std::string ip = "10\\.0\\.0\\.[234] {9}";
  const std::regex slowLine("02-5A-00-00-01-02  " + ip +
                            "TFTP-Sending {5}firmware {9} *([0-9]+)/513 +([0-9]+)%  +"
                            "([0-9]+\\.[0-9]) KiB/s +[0-9]+\\.[0-9] s  resent ([0-9]+)\n");
  const std::regex idleLine("02-5A-00-00-01-03  " + ip +
                            "Active {11}- {16}    0/0       0%       0\\.0 KiB/s +"
                            "[0-9]+\\.[0-9] s  resent 0\n");
  long long firstAcked = -1;
  bool moving = false;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const size_t from = server.Out().size();
        kill(server.pid(), SIGUSR2);
        if (!WaitUntil([&] { return !ListingLine(server.Out(), from, idleLine).empty(); },
                       2s))
          return false;
        const std::vector<std::string> m = ListingLine(server.Out(), from, slowLine);
        if (m.empty()) return false;
        const long long acked = std::stoll(m[1]);
        EXPECT_LE(acked, 513);
        EXPECT_EQ(std::stoll(m[2]), acked * 100 / 513) << m[0];
        EXPECT_GT(std::stoll(m[4]), 0) << "every second ACK left out: " << m[0];
        if (firstAcked < 0) firstAcked = acked;
        moving = std::stod(m[3]) > 0 && acked > firstAcked;
        return moving;
      },
      10s))
      << Tail(server.Out());
  EXPECT_EQ(server.Out().find("02-5A-00-00-01-01  10."), std::string::npos)
      << "a finished device in the listing";

  // The metrics file: tried from the start, written once its folder is
  // there, and named on standard error once meanwhile.
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string label = "interface=\"" + net_->serverIf() + "\"";
  std::string during;
  EXPECT_TRUE(WaitUntil(
      [&] {
        during = ReadFile(metrics);
        return Sample(during, "skav_devices_done_total", label) == 1;
      },
      10s))
      << during;
  EXPECT_EQ(Sample(during, "skav_devices_in_flight", label), 2) << during;
  EXPECT_EQ(Sample(during, "skav_server_running", label), 1) << during;

  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();

  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, "02-5A-00-00-01-01: "), 1) << log;
  EXPECT_EQ(CountOf(log, "02-5A-00-00-01-01: Done    \r\n"), 1) << log;
  EXPECT_EQ(CountOf(log, "02-5A-00-00-01-02: Error   \r\n"), 1) << log;
  EXPECT_EQ(CountOf(log, "02-5A-00-00-01-03: Error   \r\n"), 1) << log;
  const std::string out = server.Out();
  EXPECT_EQ(CountOf(out, "[02-5a-00-00-01-02] interrupted by the stop, outcome: Error\r\n"), 1);
  EXPECT_EQ(CountOf(out, "[02-5a-00-00-01-03] interrupted by the stop, outcome: Error\r\n"), 1);
  EXPECT_EQ(CountOf(out, "interrupted by the stop"), 2) << out;

  // The stop's own write: the counters agree with the log file.
  EXPECT_EQ(CountOf(server.Err(), "cannot write the metrics file '" + metrics + "'"), 1)
      << server.Err();
  const std::string after = ReadFile(metrics);
  EXPECT_EQ(Sample(after, "skav_devices_done_total", label), CountOf(log, ": Done    \r\n"))
      << after;
  EXPECT_EQ(Sample(after, "skav_devices_failed_total", label), CountOf(log, ": Error   \r\n"))
      << after;
  EXPECT_EQ(Sample(after, "skav_devices_in_flight", label), 0) << after;
  EXPECT_EQ(Sample(after, "skav_server_running", label), 0) << after;
  // The finished firmware, and some blocks of the slow one, sent again.
  const long long bytes = Sample(after, "skav_pushed_bytes_total", label);
  EXPECT_GT(bytes, 256 * 1024) << after;
  EXPECT_LT(bytes, 2 * 256 * 1024) << after;
  EXPECT_EQ(bytes % 512, 0) << after;
  EXPECT_GT(Sample(after, "skav_tftp_resent_packets_total", label), 0) << after;
  EXPECT_GE(Sample(after, "skav_server_cycles_total", label),
            Sample(during, "skav_server_cycles_total", label)) << after;
  EXPECT_EQ(Sample(after, "skav_client_creation_failures_total",
                   label + ",reason=\"max_clients\""), 0) << after;
  EXPECT_EQ(Sample(after, "skav_client_creation_failures_total", label + ",reason=\"system\""),
            0) << after;
  int files = 0;
  for (auto it = std::filesystem::directory_iterator(folder);
       it != std::filesystem::directory_iterator(); ++it)
    ++files;
  EXPECT_EQ(files, 1) << "a temporary file was left";
  if (Shell("command -v promtool >/dev/null") != 0)
    GTEST_SKIP() << "promtool is not installed (scripts/install-deps.sh): the format is unchecked";
  const std::string lint = dir_.File("promtool.out");
  EXPECT_EQ(Shell("promtool check metrics <" + metrics + " >" + lint + " 2>&1"), 0)
      << ReadFile(lint) << after;
  EXPECT_EQ(ReadFile(lint), "") << after;
}

TEST_F(HeadlessControl, Usr1ClearsTheDoneDeviceAndUsr2PrintsThePanel) {
  const std::string firmware = Firmware("fw.bin", 4096, 2);
  WriteSettings(firmware, true);
  ServerProcess server(net_->serverNs(), settings_, dir_);
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();

  auto done = Device("02:5a:00:00:02:01", firmware);
  ASSERT_TRUE(server.WaitForOut("New client: 02-5a-00-00-02-01, assigned IP: 10.0.0.2\r\n", 10s));
  auto refused = Device("02:5a:00:00:02:02", "", {"--tftp-error", "1"});
  ASSERT_TRUE(server.WaitForOut("New client: 02-5a-00-00-02-02, assigned IP: 10.0.0.3\r\n", 10s));
  auto idle = Device("02:5a:00:00:02:03", "",
                     {"--silent-after", "conf-ack", "--silent-for", "60000"}, "120");
  ASSERT_TRUE(server.WaitForOut("New client: 02-5a-00-00-02-03, assigned IP: 10.0.0.4\r\n", 10s));
  EXPECT_EQ(done->Wait(kSimLimit), 0) << done->output();
  ASSERT_TRUE(WaitForLog("02-5A-00-00-02-01: Done    \r\n")) << LogText();
  ASSERT_TRUE(WaitForLog("02-5A-00-00-02-02: Error   \r\n")) << LogText();

  EXPECT_TRUE(SignalUntilPanel(
      server,
      "Total    3 devices: Error (1) Done (1) Reworking (1)\r\n\r\n"
      "02-5A-00-00-02-01: Done         02-5A-00-00-02-02: Error        "
      "02-5A-00-00-02-03: Reworking    \r\n"))
      << server.Out();

  ASSERT_EQ(kill(server.pid(), SIGUSR1), 0);
  EXPECT_TRUE(SignalUntilPanel(server,
                               "Total    2 devices: Error (1) Reworking (1)\r\n\r\n"
                               "02-5A-00-00-02-02: Error        02-5A-00-00-02-03: Reworking    "
                               "\r\n"))
      << server.Out();

  // The device that was cleared is a new device to the server.
  auto again = Device("02:5a:00:00:02:01", firmware);
  EXPECT_EQ(again->Wait(kSimLimit), 0) << again->output();
  EXPECT_TRUE(server.WaitForOut("New client: 02-5a-00-00-02-01, assigned IP: 10.0.0.5\r\n", 5s))
      << server.Out();
  // The one that failed is not served again before the server stops.
  auto retry = Device("02:5a:00:00:02:02", "", {}, "2");
  EXPECT_NE(retry->Wait(kSimLimit), 0) << retry->output();
  EXPECT_EQ(CountOf(server.Out(), "New client: 02-5a-00-00-02-02"), 1);
}

// skav-server ARGS in namespace `ns`: its exit status, and after a ':' what
// it wrote to the stream `redirect` leaves on the pipe.
std::string RunServer(const std::string& ns, const std::string& args,
                      const std::string& redirect) {
  const std::string command = "ip netns exec " + ns + " " SKAV_SERVER_BIN " " + args + " " +
                              redirect;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return "no shell";
  std::string said;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) said.append(buf, n);
  const int status = pclose(p);
  return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ":" + said;
}

// skav-server --check-settings in the server's namespace: its exit status,
// and its standard error after a ':'.
std::string CheckSettings(const std::string& ns, const std::string& settings,
                          const std::string& extra = "") {
  return RunServer(ns, "--check-settings '" + settings + "' " + extra, "2>&1 >/dev/null");
}

TEST_F(HeadlessControl, CtlListsTheBenchAndClearsItsDoneDevice) {
  const std::string firmware = Firmware("fw.bin", 4096, 8);
  WriteSettings(firmware, false);
  ServerProcess server(net_->serverNs(), settings_, dir_);
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();
  auto done = Device("02:5a:00:00:08:01", firmware);
  EXPECT_EQ(done->Wait(kSimLimit), 0) << done->output();

  const std::string port = net_->serverIf();
  const auto ctl = [&](const std::string& args) {
    return RunServer(net_->serverNs(), "ctl " + args, "2>/dev/null");
  };
  const std::regex listed("\n" + port + " +running +1 +0 +1 +0 +" +
                          std::to_string(server.pid()) + "\n");
  std::string said;
  EXPECT_TRUE(WaitUntil([&] { return std::regex_search(said = ctl("list"), listed); },
                        kOutcomeLimit))
      << said;
  EXPECT_EQ(ctl("clear"), "0:" + port + ": the Done devices are cleared from the panel.\n");
  EXPECT_TRUE(WaitUntil(
      [&] {
        said = ctl("--interface " + port + " status");
        return said == "0:" + port + ": running (pid " + std::to_string(server.pid()) +
                           ")\nTotal    0 devices:\n";
      },
      10s))
      << said;
  EXPECT_EQ(ctl("--interface skavnone0 status"), "2:");
}

// The port carries the server address as a static profile puts it there.
TEST_F(HeadlessControl, HupTakesNewSettingsThatLoadAndKeepsTheRunOtherwise) {
  const std::string first = Firmware("first.bin", 3000, 3);
  const std::string second = Firmware("second.bin", 5000, 4);
  WriteSettings(first, false);
  const std::string addr = "ip -n " + net_->serverNs() + " -4 addr ", label = " dev " +
                           net_->serverIf() + " label " + net_->serverIf() + ":7";
  ASSERT_EQ(Shell(addr + "add 10.0.0.1/8" + label), 0);  // a label ours never carries
  ServerProcess server(net_->serverNs(), settings_, dir_);
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();
  // What the units' reload asks before the signal: the running server's
  // own claim stands aside only for it.
  EXPECT_EQ(CheckSettings(net_->serverNs(), settings_, "--reload-of " +
                                                          std::to_string(server.pid())),
            "0:");
  EXPECT_NE(CheckSettings(net_->serverNs(), settings_).find("1:skav-server: the settings in '" +
                                                           settings_ +
                                                           "' cannot be served: the network "
                                                           "interface '" +
                                                           net_->serverIf() +
                                                           "' is already served by skav-server"),
            std::string::npos);
  const std::string absent = dir_.File("absent.conf");
  WriteFile(absent, "[General]\nInterface Name=skavnone0\nFirmware Path=" + first + "\n");
  const std::string absentSaid = CheckSettings(net_->serverNs(), absent);
  EXPECT_EQ(absentSaid.substr(0, 2), "1:") << absentSaid;
  EXPECT_NE(absentSaid.find("\nskav-server: the settings in '" + absent +
                            "' cannot be served: the network interface 'skavnone0' they name "
                            "is not there\n"),
            std::string::npos)
      << absentSaid;
  // A log file the run could not write is refused, named, with the reason.
  const std::string unlogged = dir_.File("unlogged.conf");
  const std::string noFolder = dir_.File("no-folder/log.txt");
  WriteFile(unlogged, "[General]\nInterface Name=" + net_->serverIf() + "\nFirmware Path=" +
                          first + "\nLog Enable=1\nLog Path=" + noFolder + "\n");
  EXPECT_EQ(CheckSettings(net_->serverNs(), unlogged,
                          "--reload-of " + std::to_string(server.pid())),
            "1:skav-server: the settings in '" + unlogged + "' cannot be served: the log file '" +
                noFolder + "' cannot be opened: No such file or directory\n");
  auto one = Device("02:5a:00:00:03:01", first);
  EXPECT_EQ(one->Wait(kSimLimit), 0) << one->output();

  WriteSettings(second, false);
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(server.WaitForOut(kStarted, 10s, 2)) << server.Err();
  auto two = Device("02:5a:00:00:03:02", second);
  EXPECT_EQ(two->Wait(kSimLimit), 0) << two->output();

  const std::string missing = dir_.File("missing.bin");
  WriteSettings(missing, false);
  const std::string refused = CheckSettings(net_->serverNs(), settings_,
                                            "--reload-of " + std::to_string(server.pid()));
  EXPECT_EQ(refused.substr(0, 2), "1:") << refused;
  EXPECT_NE(refused.find("Unable to load the firmware file '" + missing + "' to memory ("),
            std::string::npos)
      << refused;
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] { return server.Err().find("were not taken") != std::string::npos; },
                        10s))
      << server.Err();
  EXPECT_NE(server.Err().find("Unable to load the firmware file '" + missing + "' to memory ("),
            std::string::npos)
      << server.Err();
  auto three = Device("02:5a:00:00:03:03", second);
  EXPECT_EQ(three->Wait(kSimLimit), 0) << three->output();
  EXPECT_EQ(CountOf(server.Out(), kStarted), 2);

  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
  EXPECT_EQ(CountOf(server.Out(), "' already, put there by another program; the run uses it "
                                  "as it is and leaves it there\r\n"), 2) << server.Out();
  EXPECT_EQ(server.Out().find("[Error]"), std::string::npos) << server.Out();
  EXPECT_EQ(Shell(addr + "del 10.0.0.1/8" + label), 0) << "the address is gone, or not as it was";
}

TEST_F(HeadlessControl, ForgetAfterServesAReturningDeviceAgainAndTheJournalGetsItsForm) {
  const std::string firmware = Firmware("fw.bin", 2048, 5);
  WriteSettings(firmware, false);
  ServerProcess server(net_->serverNs(), settings_, dir_,
                       ServerProcess::Options{{"--forget-after", "2"}, true});
  ASSERT_TRUE(server.WaitForOut("<6>SKAV Server starts running (region: 0)...\n", kStartLimit))
      << server.Err();

  auto first = Device("02:5a:00:00:04:01", firmware);
  EXPECT_EQ(first->Wait(kSimLimit), 0) << first->output();
  ASSERT_TRUE(server.WaitForOut("<6>[02-5a-00-00-04-01] exits.", kOutcomeLimit)) << server.Out();
  const auto closedAt = std::chrono::steady_clock::now();

  // Back at once: still the finished device of this run, not served.
  auto early = Device("02:5a:00:00:04:01", firmware, {}, "1");
  const int earlyStatus = early->Wait(kSimLimit);
  if (std::chrono::steady_clock::now() - closedAt < 1900ms) {
    EXPECT_NE(earlyStatus, 0) << early->output();
    EXPECT_EQ(CountOf(server.Out(), "New client: 02-5a-00-00-04-01"), 1) << server.Out();
  } else {
    std::printf("the early return ended too late to tell; not checked\n");
  }

  auto later = Device("02:5a:00:00:04:01", firmware);
  EXPECT_EQ(later->Wait(kSimLimit), 0) << later->output();
  EXPECT_TRUE(server.WaitForOut("<6>New client: 02-5a-00-00-04-01, assigned IP: 10.0.0.3\n", 5s))
      << server.Out();

  auto malformed = Device("02:5a:00:00:04:02", "", {"--malformed-conf-req"}, "3");
  malformed->Wait(kSimLimit);
  ASSERT_TRUE(server.WaitForOut("<3>[Error] SKAV_MsgParsing() fails (5)\n", 5s)) << server.Out();

  auto failing = Device("02:5a:00:00:04:03", "", {"--tftp-error", "1"});
  failing->Wait(kSimLimit);
  EXPECT_TRUE(server.WaitForOut("<4>[02-5a-00-00-04-03] RX TFTP Error (3): ", 5s))
      << server.Out();
  EXPECT_TRUE(server.WaitForOut("<4>[02-5a-00-00-04-03] exits. TFTP: Failed,", kOutcomeLimit))
      << server.Out();

  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
  const std::string out = server.Out();
  EXPECT_EQ(out.find('\r'), std::string::npos);
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "a line without its end: " << out.substr(at);
    const std::string line = out.substr(at, end - at);
    const bool error = line.find("[Error]") == 3;
    // The malformed device got no firmware either: its exit is a failure.
    // The TFTP error's line and the one it goes on with are one event.
    const bool failure = line.find("[02-5a-00-00-04-03] RX TFTP Error") == 3 ||
                         line.find(" Uploading aborts, go to 'Active' state") == 3 ||
                         line.find("[02-5a-00-00-04-03] exits.") == 3 ||
                         line.find("[02-5a-00-00-04-02] exits.") == 3;
    EXPECT_EQ(line.substr(0, 3), error ? "<3>" : failure ? "<4>" : "<6>") << line;
    at = end + 1;
  }
}

TEST_F(HeadlessControl, AStalledReaderHoldsNoDeviceUpAndLearnsHowManyLinesItMissed) {
  const std::string firmware = Firmware("fw.bin", 2048, 6);
  WriteSettings(firmware, false);
  ServerProcess server(net_->serverNs(), settings_, dir_,
                       ServerProcess::Options{{}, false, true});
  auto first = Device("02:5a:00:00:06:01", firmware);
  EXPECT_EQ(first->Wait(kSimLimit), 0) << first->output();
  // 20,000 panels of at least 24 bytes each (the panel's total line), each
  // sent once the one before was taken: more than the pipe and the queue
  // hold together.
  for (int panel = 0; panel < 20000; ++panel) {
    ASSERT_EQ(kill(server.pid(), SIGUSR2), 0);
    const auto limit = std::chrono::steady_clock::now() + 5s;
    while (SignalPending(server.pid(), SIGUSR2)) {
      ASSERT_LT(std::chrono::steady_clock::now(), limit) << "panel " << panel;
      std::this_thread::sleep_for(50us);
    }
  }
  auto second = Device("02:5a:00:00:06:02", firmware);
  EXPECT_EQ(second->Wait(kSimLimit), 0) << second->output();

  server.ReadOut();
  EXPECT_TRUE(WaitUntil([&] { return std::regex_search(server.Out(), std::regex(
                                  "\nskav-server: [0-9]+ lines of output dropped: it was not "
                                  "read in time\n")); },
                        10s))
      << Tail(server.Out());
  EXPECT_NE(server.Out().find(kStarted), std::string::npos) << Tail(server.Out());
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
}

TEST_F(HeadlessControl, APulledAdapterStopsTheRunWhichStartsAgainWhenItIsBack) {
  const std::string firmware = Firmware("fw.bin", 4096, 6);
  WriteSettings(firmware, true);
  ServerProcess server(net_->serverNs(), settings_, dir_);
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();
  auto idle = Device("02:5a:00:00:05:01", "",
                     {"--silent-after", "conf-ack", "--silent-for", "60000"}, "120");
  ASSERT_TRUE(server.WaitForOut("[02-5a-00-00-05-01] RX SKAV CONF-REQ", 10s)) << server.Out();

  // A link only taken down and up is the same adapter: the run goes on.
  const std::string link = "ip -n " + net_->serverNs() + " link set " + net_->serverIf();
  ASSERT_EQ(Shell(link + " down"), 0);
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(Shell(link + " up"), 0);
  auto served = Device("02:5a:00:00:05:02", firmware);
  EXPECT_EQ(served->Wait(kSimLimit), 0) << served->output();

  // Pulled: the interface and its peer are gone; plugged back 4 s later
  // under the same names. The link that was down had its own errors each
  // cycle; only what follows the pull is the waiting server's.
  const size_t pulledAt = server.Out().size();
  ASSERT_EQ(Shell("ip -n " + net_->serverNs() + " link del " + net_->serverIf()), 0);
  ASSERT_TRUE(WaitUntil([&] { return server.Err().find("is gone") != std::string::npos; }, 10s))
      << server.Err();
  EXPECT_NE(server.Err().find("skav-server: the network interface '" + net_->serverIf() +
                              "' is gone;"),
            std::string::npos)
      << server.Err();
  ASSERT_TRUE(WaitForLog("02-5A-00-00-05-01: Error   \r\n")) << LogText();
  std::this_thread::sleep_for(4s);
  ASSERT_EQ(Shell("ip link add " + net_->serverIf() + " netns " + net_->serverNs() +
                  " type veth peer name " + net_->deviceIf() + " netns " + net_->deviceNs() +
                  " && ip -n " + net_->serverNs() + " link set " + net_->serverIf() +
                  " up && ip -n " + net_->deviceNs() + " link set " + net_->deviceIf() + " up"),
            0);
  EXPECT_TRUE(server.WaitForOut(kStarted, 15s, 2)) << server.Out() << server.Err();
  auto again = Device("02:5a:00:00:05:03", firmware);
  EXPECT_EQ(again->Wait(kSimLimit), 0) << again->output();

  const std::string out = server.Out().substr(pulledAt);
  EXPECT_LE(CountOf(out, "[Error] Fail to send Advertisement"), 4) << out;
  EXPECT_LE(CountOf(out, "[Error] Fail to receive L2 packets"), 4) << out;
  EXPECT_EQ(CountOf(server.Err(), "is gone"), 1) << server.Err();
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
}

// CLOSE-REQ answered, the Close timer still running: a reload then does not
// turn the full exchange into an Error, in the log file, the record or the
// counters.
TEST_F(HeadlessControl, AReloadWhileADeviceIsClosingKeepsItsDone) {
  const std::string firmware = Firmware("fw.bin", 4096, 9);
  WriteSettings(firmware, true);
  const std::string record = dir_.File("devices.jsonl");
  const std::string metrics = dir_.File("skav.prom");
  ServerProcess server(net_->serverNs(), settings_, dir_,
                       {.args = {"--record", record, "--metrics", metrics}});
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();
  auto device = Device("02:5a:00:00:08:01", firmware);
  ASSERT_EQ(device->Wait(kSimLimit), 0) << device->output();
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForLog("02-5A-00-00-08-01: Done")) << LogText();
  EXPECT_EQ(LogText().find("02-5A-00-00-08-01: Error"), std::string::npos) << LogText();
  EXPECT_TRUE(server.WaitForOut("[02-5a-00-00-08-01] closing at the stop, outcome: Done", 5s))
      << server.Out();
  // The record's line follows the log file's, from the writer thread.
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadFile(record).find("\"outcome\":\"Done\"") != std::string::npos; }, 5s))
      << ReadFile(record);
  // Written once the stop is over, after the log file's line.
  const std::string counted = "skav_devices_done_total{interface=\"" + net_->serverIf() + "\"} 1";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(metrics).find(counted) != std::string::npos; }, 5s))
      << ReadFile(metrics);
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
}

// A bench PC's own network: a port nobody took up, and a network manager
// that removes the server address again and again.
TEST_F(HeadlessControl, APortLeftDownIsTakenUpAndTheAddressComesBackEachTimeItIsRemoved) {
  const std::string firmware = Firmware("fw.bin", 4096, 7);
  WriteSettings(firmware, false);
  const std::string ns = "ip -n " + net_->serverNs() + " ";
  ASSERT_EQ(Shell(ns + "link set " + net_->serverIf() + " down"), 0);
  ServerProcess server(net_->serverNs(), settings_, dir_);
  ASSERT_TRUE(server.WaitForOut(kStarted, kStartLimit)) << server.Err();
  EXPECT_EQ(CountOf(server.Out(), "The network interface '" + net_->serverIf() +
                                      "' was down; it has been taken up for the run\r\n"),
            1)
      << server.Out();

  const auto addressed = [&] {
    return ShellOutput(ns + "-4 addr show dev " + net_->serverIf()).find("10.0.0.1/8") !=
           std::string::npos;
  };
  for (int removal = 1; removal <= 2; ++removal) {
    // One deletion, as a network manager makes it (a flush would race the
    // server putting the address back, and say so).
    ASSERT_EQ(Shell(ns + "addr del 10.0.0.1/8 dev " + net_->serverIf()), 0);
    EXPECT_TRUE(WaitUntil(addressed, 3s)) << "removal " << removal;
  }
  const std::string said = "Another program removed the server address 10.0.0.1/8 from the "
                           "interface '" + net_->serverIf() + "'; it has been put back. Likely ";
  EXPECT_TRUE(server.WaitForOut(said, 5s)) << server.Out();
  // The second removal within the minute is counted for a later line.
  EXPECT_EQ(CountOf(server.Out(), "Another program removed"), 1) << server.Out();
  auto served = Device("02:5a:00:00:06:01", firmware);
  EXPECT_EQ(served->Wait(kSimLimit), 0) << served->output();
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
  EXPECT_EQ(CountOf(server.Out(), "Another program removed"), 2) << "not said at the stop";
}

// Headless never guesses: no port named is refused, a named port that is
// not there is waited for, and a reload naming an absent one is refused.
TEST_F(HeadlessControl, OnlyThePortTheSettingsNameIsServedAndOnlyOnceItIsThere) {
  const std::string firmware = Firmware("fw.bin", 4096, 8);
  WriteFile(settings_, "[General]\nFirmware Path=" + firmware + "\n");
  {
    ServerProcess refused(net_->serverNs(), settings_, dir_);
    EXPECT_EQ(refused.WaitExit(30s), 1) << refused.Err();
    EXPECT_NE(refused.Err().find("name no network interface"), std::string::npos)
        << refused.Err();
    EXPECT_EQ(refused.Out().find(kStarted), std::string::npos) << refused.Out();
  }

  const std::string late = "skavlate0";
  const auto settingsFor = [&](const std::string& port) {
    WriteFile(settings_, "[General]\nInterface Name=" + port + "\nFirmware Path=" + firmware +
                             "\n");
  };
  settingsFor(late);
  ServerProcess server(net_->serverNs(), settings_, dir_);
  ASSERT_TRUE(WaitUntil([&] {
    return server.Err().find("waiting for the network interface '" + late + "' to appear") !=
           std::string::npos;
  }, 10s)) << server.Err();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server.Out().find(kStarted), std::string::npos) << server.Out();
  const std::string ns = "ip -n " + net_->serverNs() + " ";
  EXPECT_EQ(ShellOutput(ns + "-4 addr show").find("10.0.0.1"), std::string::npos);

  ASSERT_EQ(Shell(ns + "link set " + net_->serverIf() + " down && " + ns + "link set " +
                  net_->serverIf() + " name " + late),
            0);
  ASSERT_TRUE(server.WaitForOut(kStarted, 15s)) << server.Err();
  auto served = Device("02:5a:00:00:07:01", firmware);
  EXPECT_EQ(served->Wait(kSimLimit), 0) << served->output();

  settingsFor("skavnone0");
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] { return server.Err().find("were not taken") != std::string::npos; },
                        10s)) << server.Err();
  EXPECT_NE(server.Err().find("'skavnone0' they name is not there"), std::string::npos)
      << server.Err();
  auto again = Device("02:5a:00:00:07:02", firmware);
  EXPECT_EQ(again->Wait(kSimLimit), 0) << again->output();
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.WaitExit(30s), 0) << server.Err();
}

}  // namespace

#endif  // SKAV_SERVER_BIN && SKAV_DEVSIM_PATH
