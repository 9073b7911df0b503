// skav-server --headless at the descriptor limit most logins and services
// get (soft and hard 1024), in a namespace with the device simulator: 300
// devices one after another and 600 at once, every one served, a finished
// device costing neither a thread nor a descriptor afterwards, and a device
// the system gives no thread named once instead of lost in silence.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "headless_support.h"
#include "integration/e2e_support.h"
#include "support/netns.h"
#include "support/server_run.h"

#if defined(SKAV_SERVER_BIN) && defined(SKAV_DEVSIM_PATH)

namespace {

using namespace std::chrono_literals;
using e2e::Child;
using server_run::ProcEntries;

const std::string kUsualLimit = "1024:1024";
#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer each new thread costs milliseconds, more the more
// threads there are: a burst of 600 keeps the server thread creating them
// for about 8 s, longer than a device waits for its answers. The race check
// gets a smaller crowd; the plain and AddressSanitizer builds the full one.
constexpr int kCrowd = 150;
#else
constexpr int kCrowd = 600;
#endif
// Generous: the sanitizer builds run the same tests several times slower.
constexpr auto kSimLimit = 240s;
// The last device's client reaches Closed 6 s (Close timer) after its
// CLOSE-REQ, and its line is written within a cycle.
constexpr auto kOutcomeLimit = 30s;
const std::string kDone = ": Done    \r\n";

/// A cgroup of the pids controller that caps the tasks (threads) of the
/// processes put in it: the system's own refusal of a thread, for a test.
/// Removed at the end (its processes must have ended).
class TaskCap {
 public:
  TaskCap() {
    // The version 1 hierarchy, or version 2 where it offers the controller.
    for (const std::string root : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup"}) {
      if (access((root + "/cgroup.procs").c_str(), W_OK) != 0) continue;
      const bool v2 = access((root + "/cgroup.controllers").c_str(), R_OK) == 0;
      if (v2 && ReadFile(root + "/cgroup.controllers").find("pids") == std::string::npos)
        continue;
      if (v2) WriteFile(root + "/cgroup.subtree_control", "+pids");
      const std::string dir = root + "/skavcap" + std::to_string(getpid());
      if (mkdir(dir.c_str(), 0755) != 0) continue;
      if (access((dir + "/pids.max").c_str(), W_OK) == 0) {
        dir_ = dir;
        return;
      }
      rmdir(dir.c_str());
    }
  }
  ~TaskCap() {
    // An ended process may leave the group a moment after its parent saw
    // it end.
    for (int i = 0; i < 100 && !dir_.empty() && rmdir(dir_.c_str()) != 0; ++i)
      std::this_thread::sleep_for(20ms);
  }
  TaskCap(const TaskCap&) = delete;
  TaskCap& operator=(const TaskCap&) = delete;

  bool ok() const { return !dir_.empty(); }
  /// Puts process `pid` (all its threads) under a cap of `tasks`.
  bool Hold(pid_t pid, int tasks) {
    WriteFile(dir_ + "/pids.max", std::to_string(tasks));
    WriteFile(dir_ + "/cgroup.procs", std::to_string(pid));
    return ReadFile(dir_ + "/cgroup.procs").find(std::to_string(pid)) != std::string::npos;
  }

 private:
  std::string dir_;
};

class HeadlessScale : public ::testing::Test {
 protected:
  void SetUp() override {
    SKAV_REQUIRE_NETNS();
    net_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(net_->ok()) << "cannot create the namespaces";
    // Small images keep the test about the number of devices, not bytes:
    // a firmware of 7 blocks with a short last one, a string table of 2.
    firmware_ = Image("firmware", 3100, 61);
    table_ = Image("st1", 700, 62);
    log_ = dir_.File("outcomes.log");
    settings_ = dir_.File("SKAVD.conf");
    WriteFile(settings_, "[General]\nInterface Name=" + net_->serverIf() +
                             "\nFirmware Path=" + firmware_ + "\nString Table 1 Path=" + table_ +
                             "\nLog Enable=1\nLog Path=" + log_ + "\n");
  }

  std::string Image(const std::string& name, size_t size, uint32_t seed) {
    const e2e::Bytes bytes = e2e::Pattern(size, seed);
    const std::string path = dir_.File(name);
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }

  /// Starts the server under `fileLimit` ("SOFT:HARD" descriptors) and
  /// waits for its start line; then notes its idle thread and descriptor
  /// counts.
  std::unique_ptr<ServerProcess> StartServer(const std::string& fileLimit) {
    auto server = std::make_unique<ServerProcess>(net_->serverNs(), settings_, dir_,
                                                  ServerProcess::Options{{}, false}, fileLimit);
    const bool started = server->WaitForOut("SKAV Server starts running", 30s);
    EXPECT_TRUE(started) << server->Err();
    if (!started) return nullptr;
    // A few cycles in: everything a run keeps open is open.
    std::this_thread::sleep_for(1200ms);
    idleThreads_ = Threads(*server);
    idleFds_ = Descriptors(*server);
    return server;
  }
  static int Threads(const ServerProcess& s) {
    return ProcEntries("/proc/" + std::to_string(s.pid()) + "/task");
  }
  static int Descriptors(const ServerProcess& s) {
    return ProcEntries("/proc/" + std::to_string(s.pid()) + "/fd");
  }

  /// Plays `count` devices from `baseMac` on (`extra`: more simulator
  /// options) and expects every one of them to get what it expected.
  void ServeDevices(int count, const std::string& baseMac, std::vector<std::string> extra) {
    std::vector<std::string> args = {SKAV_DEVSIM_PATH,
                                     "--if", net_->deviceIf(),
                                     "--count", std::to_string(count),
                                     "--base-mac", baseMac,
                                     "--expect", "firmware=" + firmware_,
                                     "--expect", "st1=" + table_,
                                     "--timeout", "220"};
    args.insert(args.end(), extra.begin(), extra.end());
    Child sim(net_->deviceNs(), args);
    ASSERT_TRUE(sim.started());
    EXPECT_EQ(sim.Wait(kSimLimit), 0) << sim.output().substr(0, 2000);
    const std::string all = std::to_string(count);
    const std::string summary = e2e::LineStartingWith(sim.output(), "summary ");
    EXPECT_EQ(summary.rfind("summary devices=" + all + " ok=" + all + " ", 0), 0u) << summary;
    EXPECT_NE(summary.find(" failed=0 "), std::string::npos) << summary;
  }

  /// Waits until the log file holds `done` Done lines, then until the
  /// server's threads and descriptors are back to their idle counts; its
  /// output has `errorLines` "[Error]" lines.
  void ExpectAllDoneAndBackToIdle(const ServerProcess& server, int done, int errorLines = 0) {
    EXPECT_TRUE(WaitUntil([&] { return CountOf(ReadFile(log_), kDone) >= done; }, kOutcomeLimit))
        << CountOf(ReadFile(log_), kDone) << " Done lines of " << done;
    const std::string logText = ReadFile(log_);
    EXPECT_EQ(CountOf(logText, kDone), done);
    EXPECT_EQ(CountOf(logText, ": Error   \r\n"), 0);
    // Every finished client's thread ends and is joined within a cycle or
    // two; its socket went when its transfer ended.
    EXPECT_TRUE(WaitUntil(
        [&] { return Threads(server) == idleThreads_ && Descriptors(server) == idleFds_; },
        5000ms))
        << "threads " << Threads(server) << " (idle " << idleThreads_ << "), descriptors "
        << Descriptors(server) << " (idle " << idleFds_ << ")";
    const std::string out = server.Out();
    EXPECT_EQ(CountOf(out, "exits. TFTP: Done, FW Upgrade: Done, Graceful Closing: Yes.\r\n"),
              done);
    EXPECT_EQ(CountOf(out, "[Error]"), errorLines) << out.substr(out.find("[Error]"), 300);
  }

  std::unique_ptr<NetnsPair> net_;
  TempDir dir_;
  std::string firmware_, table_, log_, settings_;
  int idleThreads_ = 0, idleFds_ = 0;
};

TEST_F(HeadlessScale, ThreeHundredDevicesOneAfterAnotherLeaveNoThreadOrDescriptorBehind) {
  // Before a finished client gave its thread and descriptors back, the
  // 255th device of a run at this limit got no CONF-ACK.
  auto server = StartServer(kUsualLimit);
  ASSERT_TRUE(server);
  ServeDevices(300, "02:5a:03:00:00:00", {"--at-once", "1"});
  ExpectAllDoneAndBackToIdle(*server, 300);
  kill(server->pid(), SIGTERM);
  EXPECT_EQ(server->WaitExit(30s), 0) << server->Err();
}

TEST_F(HeadlessScale, SixHundredDevicesAtOnceAreAllDone) {
  auto server = StartServer(kUsualLimit);
  ASSERT_TRUE(server);
  ServeDevices(kCrowd, "02:5a:06:00:00:00", {});
  ExpectAllDoneAndBackToIdle(*server, kCrowd);
  kill(server->pid(), SIGTERM);
  EXPECT_EQ(server->WaitExit(30s), 0) << server->Err();
}

TEST_F(HeadlessScale, ADeviceGivenNoThreadIsNamedOnceAndServedWhenThreadsAreBack) {
  TaskCap cap;
  if (!cap.ok()) GTEST_SKIP() << "no pids cgroup controller to cap the server's threads";
  auto server = StartServer(kUsualLimit);
  ASSERT_TRUE(server);
  // Room for three client threads, not four.
  ASSERT_TRUE(cap.Hold(server->pid(), idleThreads_ + 3));
  {
    // Four devices at once: one of them asks six times, a second apart,
    // and gets no client; the other three are served meanwhile.
    Child sim(net_->deviceNs(), {SKAV_DEVSIM_PATH, "--if", net_->deviceIf(), "--count", "4",
                                 "--base-mac", "02:5a:0c:00:00:00", "--expect",
                                 "firmware=" + firmware_, "--expect", "st1=" + table_,
                                 "--timeout", "60"});
    ASSERT_TRUE(sim.started());
    EXPECT_EQ(sim.Wait(kSimLimit), 1) << sim.output();
    const std::string summary = e2e::LineStartingWith(sim.output(), "summary ");
    EXPECT_EQ(summary.rfind("summary devices=4 ok=3 ", 0), 0u) << sim.output();
  }
  const std::string out = server->Out();
  const std::string prefix = "[Error] Fail to create client ";
  ASSERT_EQ(CountOf(out, prefix), 1) << out;
  const std::string line = out.substr(out.find(prefix), out.find("\r\n", out.find(prefix)) + 2 -
                                                            out.find(prefix));
  const std::string mac = line.substr(prefix.size(), 17);  // "02-5a-0c-00-00-0N"
  EXPECT_EQ(line, prefix + mac + ": CreateThread() fails (Resource temporarily unavailable)\r\n");
  EXPECT_EQ(CountOf(out, "New client: " + mac), 0) << "the refused device took an address";
  ExpectAllDoneAndBackToIdle(*server, 3, 1);

  // Threads are back: the same device, asking again, is served.
  std::string colonMac = mac;
  for (char& c : colonMac)
    if (c == '-') c = ':';
  ServeDevices(1, colonMac, {});
  EXPECT_TRUE(WaitUntil([&] { return CountOf(ReadFile(log_), kDone) == 4; }, kOutcomeLimit));
  EXPECT_EQ(CountOf(server->Out(), prefix), 1);
  kill(server->pid(), SIGTERM);
  EXPECT_EQ(server->WaitExit(30s), 0) << server->Err();
}

TEST_F(HeadlessScale, TheSoftDescriptorLimitIsRaisedToTheHardOne) {
  auto server = StartServer("256:4096");
  ASSERT_TRUE(server);
  const std::string limits = ReadFile("/proc/" + std::to_string(server->pid()) + "/limits");
  // "Max open files  SOFT  HARD  files"
  std::istringstream line(e2e::LineStartingWith(limits, "Max open files").substr(14));
  std::string soft, hard;
  line >> soft >> hard;
  EXPECT_EQ(soft, "4096") << limits;
  EXPECT_EQ(hard, "4096") << limits;
  kill(server->pid(), SIGTERM);
  EXPECT_EQ(server->WaitExit(30s), 0) << server->Err();
}

}  // namespace

#endif
