// Start and Stop of the real server from the window: the window's thread in
// a network namespace of its own, where it starts its engine, the device
// simulator in another, joined by a veth pair; the capture runs on the
// veth through the real link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "console/gui/bench_window.h"
#include "console/gui/server_dlg.h"
#include "gui_support.h"
#include "netns_window.h"
#include "integration/e2e_support.h"
#include "link/if_claim.h"
#include "support/netns.h"

namespace {

using namespace std::chrono_literals;

#ifdef SKAV_DEVSIM_PATH
const char* const kDevsim = SKAV_DEVSIM_PATH;
#else
const char* const kDevsim = nullptr;
#endif
#ifdef SKAV_SERVER_BIN
const char* const kServer = SKAV_SERVER_BIN;
#else
const char* const kServer = nullptr;
#endif

// Each device closes, then waits out the Close timer (6 s) before it shows
// as Done; a loaded machine needs far more than the simulator's own run.
constexpr int kServeLimitMs = 90000;
constexpr int kThreadsGoneLimitMs = 15000;

template <typename W>
W* Ctl(const CServerDlg& dlg, int id) {
  return qobject_cast<W*>(dlg.Control(id));
}

// The name of the thread at /proc/PID/task/TID.
std::string TaskName(const std::filesystem::path& task) {
  std::string comm = gui_test::ReadFile(task.string() + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

// Qt's global pool starts workers of its own whenever it likes and lets
// them go only after half a minute idle; they are no threads of the server.
bool QtPoolWorker(const std::string& name) { return name == "Thread (pooled)"; }

std::string Tasks(pid_t pid) { return "/proc/" + std::to_string(pid) + "/task"; }

// Threads of the engine `pid` apart from Qt's pool workers: the server
// thread and its client threads among them.
int TaskCount(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(Tasks(pid), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (!QtPoolWorker(TaskName(it->path()))) ++n;
  }
  return n;
}

// Every thread of the engine, for a failure message.
std::string TaskNames(pid_t pid) {
  std::string names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(Tasks(pid), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    names += " " + it->path().filename().string() + ":" + TaskName(it->path());
  }
  return names;
}

using gui_test::OpenWindowOn;

TEST(WindowNetns, StartServesThreeSimulatedDevicesAndStopEndsEveryThread) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  // The server thread and its client threads inherit the namespace.
  InNetns inServer(pair.serverNs());
  ASSERT_TRUE(inServer.ok());

  gui_test::TempDir dir;
  gui_test::RecordingErrorSink errors;
  const std::vector<uint8_t> firmware = e2e::Pattern(5000, 7);  // ten blocks, a short last one
  const std::string firmwarePath =
      dir.Write("fw.bin", std::string(firmware.begin(), firmware.end()));

  auto dlg = OpenWindowOn(pair, dir);
  ASSERT_EQ(dlg->InterfaceCount(), 1);
  dlg->SetFirmwarePath(firmwarePath);
  auto* startStop = Ctl<QPushButton>(*dlg, IDC_START_STOP);
  auto* status = Ctl<QLabel>(*dlg, IDC_SERVER_STATUS);
  auto* panel = Ctl<QPlainTextEdit>(*dlg, IDC_STATUS_TEXT);
  const pid_t engine = dlg->EnginePid();
  ASSERT_GT(engine, 0);
  // Counted once the engine has answered: all its threads of a stopped
  // run are up by then.
  dlg->SetLogPath(dir.File("bench.txt"));
  ASSERT_TRUE(dlg->OpenLogFile());
  const int threadsBefore = TaskCount(engine);

  startStop->click();

  ASSERT_TRUE(dlg->Running()) << (errors.Messages().empty() ? "" : errors.Messages()[0]);
  EXPECT_EQ(startStop->text(), "Stop");
  EXPECT_EQ(status->text(), "Server is running...");

  e2e::Child sim(pair.deviceNs(), {kDevsim, "--if", pair.deviceIf(), "--count", "3",
                                   "--expect", "firmware=" + firmwarePath, "--timeout", "60"});
  ASSERT_TRUE(sim.started());

  // The server thread is counted while it runs; the count after Stop
  // would prove nothing otherwise.
  const int threadsRunning = TaskCount(engine);
  EXPECT_GT(threadsRunning, threadsBefore) << TaskNames(engine);

  int simStatus = -1;
  const auto allDone = [&] {
    const std::string text = panel->toPlainText().toStdString();
    return text.find("Total    3 devices: Done (3)\n") == 0 &&
           text.find("02-5A-00-00-00-01: Done") != std::string::npos &&
           text.find("02-5A-00-00-00-02: Done") != std::string::npos &&
           text.find("02-5A-00-00-00-03: Done") != std::string::npos;
  };
  // The simulator's output pipe is read a little on every poll, so it
  // never fills while the window serves.
  const bool served = gui_test::WaitUntil(
      [&] {
        if (simStatus < 0) simStatus = sim.Wait(0ms);
        return simStatus == 0 && allDone();
      },
      kServeLimitMs);
  EXPECT_TRUE(served) << "simulator exit " << simStatus << "\n"
                      << sim.output() << "\npanel:\n"
                      << panel->toPlainText().toStdString();
  EXPECT_TRUE(dlg->Running());

  startStop->click();

  EXPECT_FALSE(dlg->Running());
  EXPECT_EQ(startStop->text(), "Start");
  EXPECT_EQ(status->text(), "Server is stopped.");
  // A thread that has returned may linger in the task list for a moment.
  int threadsAfter = TaskCount(engine);
  EXPECT_TRUE(gui_test::WaitUntil(
      [&] {
        threadsAfter = TaskCount(engine);
        return threadsAfter <= threadsBefore;
      },
      kThreadsGoneLimitMs))
      << threadsAfter << " threads after Stop, " << threadsBefore << " before Start;"
      << TaskNames(engine);
  EXPECT_TRUE(errors.Messages().empty()) << errors.Messages()[0];
}

// A failed board, reworked and seated again, is served anew while the run goes on.
TEST(WindowNetns, RetryFailedServesAFailedDeviceAgainWithoutAStop) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  InNetns inServer(pair.serverNs());
  gui_test::TempDir dir;
  auto dlg = OpenWindowOn(pair, dir);
  dlg->OnDebugWindow();
  dlg->SetFirmwarePath(dir.Write("fw.bin", std::string(5000, 'f')));
  Ctl<QPushButton>(*dlg, IDC_START_STOP)->click();
  const auto served = [&](std::vector<std::string> args, const QString& panel) {
    args.insert(args.begin(), {kDevsim, "--if", pair.deviceIf(), "--timeout", "60"});
    e2e::Child sim(pair.deviceNs(), args);
    int status = -1;
    const auto text = [&] { return Ctl<QPlainTextEdit>(*dlg, IDC_STATUS_TEXT)->toPlainText(); };
    return gui_test::WaitUntil(
        [&] { return (status >= 0 || (status = sim.Wait(0ms)) >= 0) && text().startsWith(panel); },
        kServeLimitMs) && status == 0;
  };
  ASSERT_TRUE(served({"--tftp-error", "2"}, "Total    1 devices: Error (1)\n"));
  Ctl<QPushButton>(*dlg, IDC_RETRY_FAILED)->click();
  EXPECT_TRUE(served({}, "Total    1 devices: Done (1)\n"));
  // The retry is on record, naming the board it freed.
  EXPECT_NE(gui_test::DebugText(*dlg).find("Retry Failed: 1 failed device is served again when "
                                           "they ask: 02-5A-00-00-00-01\n"),
            std::string::npos)
      << gui_test::DebugText(*dlg);
}

// A logout, a shutdown or a kill ends the window as its close button does.
TEST(WindowNetns, SigtermWithADeviceMidTransferWritesItsOutcomeAndSavesTheSettings) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  InNetns inServer(pair.serverNs());
  ASSERT_TRUE(inServer.ok());

  gui_test::TempDir dir;
  gui_test::RecordingErrorSink errors;
  const std::vector<uint8_t> firmware = e2e::Pattern(256 * 1024, 8);
  const std::string firmwarePath =
      dir.Write("fw.bin", std::string(firmware.begin(), firmware.end()));
  const std::string logPath = dir.File("rework-log.txt");

  auto dlg = OpenWindowOn(pair, dir);
  dlg->SetFirmwarePath(firmwarePath);
  dlg->SetLogPath(logPath);
  dlg->SetLogEnabled(true);
  ASSERT_TRUE(dlg->OpenLogFile());
  Ctl<QPushButton>(*dlg, IDC_START_STOP)->click();
  ASSERT_TRUE(dlg->Running()) << (errors.Messages().empty() ? "" : errors.Messages()[0]);

  // Every second ACK left out: half a second a block, minutes in all.
  e2e::Child sim(pair.deviceNs(), {kDevsim, "--if", pair.deviceIf(), "--drop-ack", "2",
                                   "--timeout", "120", "-v"});
  ASSERT_TRUE(sim.started());
  ASSERT_TRUE(gui_test::WaitUntil(
      [&] {
        sim.Wait(0ms);
        return sim.output().find("RX WRQ") != std::string::npos;
      },
      30000))
      << sim.output();

  dlg->EndOnSessionSignals();
  dlg->SetStringTablePath(1, firmwarePath);  // changed just before the end
  ASSERT_EQ(raise(SIGTERM), 0);
  // Closing ends the engine, which closes the log file last.
  const pid_t engine = dlg->EnginePid();
  EXPECT_TRUE(gui_test::WaitUntil([&] { return !dlg->isVisible(); }, 30000));
  EXPECT_FALSE(gui_test::HeldOpen(logPath, engine));
  EXPECT_FALSE(dlg->Running());
  const std::string log = gui_test::ReadFile(logPath);
  EXPECT_NE(log.find("02-5A-00-00-00-01: Error   \r\n"), std::string::npos) << log;
  EXPECT_NE(gui_test::ReadFile(dir.File("settings.ini")).find("String%20Table%201%20Path=" +
                                                              firmwarePath),
            std::string::npos)
      << gui_test::ReadFile(dir.File("settings.ini"));
}

// The record path the supervisor set in the window: its folder is missing at
// Start, which the operator is told; the devices served meanwhile get their
// lines once the folder is there, one each, and Stop closes the file.
TEST(WindowNetns, RecordSetInTheWindowGetsOneLinePerDeviceOnceItCanBeWritten) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  InNetns inServer(pair.serverNs());
  ASSERT_TRUE(inServer.ok());

  gui_test::TempDir dir;
  gui_test::RecordingErrorSink errors;
  const std::vector<uint8_t> firmware = e2e::Pattern(1500, 5);
  const std::string firmwarePath =
      dir.Write("fw.bin", std::string(firmware.begin(), firmware.end()));
  const std::string folder = dir.File("records");
  const std::string record = folder + "/devices.jsonl";

  auto dlg = OpenWindowOn(pair, dir);
  dlg->SetFirmwarePath(firmwarePath);
  dlg->SetRecordPath(record);
  auto* startStop = Ctl<QPushButton>(*dlg, IDC_START_STOP);
  auto* panel = Ctl<QPlainTextEdit>(*dlg, IDC_STATUS_TEXT);
  startStop->click();
  ASSERT_TRUE(dlg->Running());
  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"Fail to open the record file '" + record +
                                     "': 'No such file or directory'"});

  e2e::Child sim(pair.deviceNs(), {kDevsim, "--if", pair.deviceIf(), "--count", "2",
                                   "--expect", "firmware=" + firmwarePath, "--timeout", "60"});
  ASSERT_TRUE(sim.started());
  int simStatus = -1;
  const bool served = gui_test::WaitUntil(
      [&] {
        if (simStatus < 0) simStatus = sim.Wait(0ms);
        return simStatus == 0 &&
               panel->toPlainText().toStdString().find("Total    2 devices: Done (2)\n") == 0;
      },
      kServeLimitMs);
  ASSERT_TRUE(served) << "simulator exit " << simStatus << "\n"
                      << sim.output() << "\npanel:\n"
                      << panel->toPlainText().toStdString();
  EXPECT_FALSE(std::filesystem::exists(record));

  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const auto recordLines = [&record] {
    std::vector<std::string> lines;
    const std::string text = gui_test::ReadFile(record);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(text.substr(at, end - at));
    return lines;
  };
  EXPECT_TRUE(gui_test::WaitUntil([&] { return recordLines().size() >= 2; }, 10000));
  startStop->click();
  EXPECT_TRUE(gui_test::WaitUntil([&] { return !gui_test::HeldOpen(record, dlg->EnginePid()); }));

  // Nothing more came with the stop: each device once.
  const std::vector<std::string> lines = recordLines();
  ASSERT_EQ(lines.size(), 2u) << gui_test::ReadFile(record);
  std::map<std::string, std::string> outcomes;
  for (const std::string& line : lines) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    outcomes[j.value("mac", "")] = j.value("outcome", "");
    EXPECT_EQ(j["server"].value("interface", ""), pair.serverIf()) << line;
    ASSERT_EQ(j["images"].size(), 1u) << line;
    EXPECT_EQ(j["images"][0].value("file", ""), firmwarePath) << line;
    EXPECT_EQ(j["images"][0].value("sent", false), true) << line;
  }
  EXPECT_EQ(outcomes, (std::map<std::string, std::string>{{"02-5A-00-00-00-01", "Done"},
                                                          {"02-5A-00-00-00-02", "Done"}}));
  EXPECT_EQ(errors.Messages().size(), 1u);
}

// The window beside a headless server (the bench's service) on the same
// interface: Start is refused with the server's pid, opens nothing, and the
// server keeps its address and serves on.
TEST(WindowNetns, StartOnTheInterfaceOfARunningHeadlessServerIsRefused) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  ASSERT_NE(kServer, nullptr) << "built without the program";
  // The folder the program itself claims in, as the headless server does.
  const std::string testClaims = L2_ClaimDir();
  L2_SetClaimDirForTest(nullptr);
  struct Restore {
    std::string dir;
    ~Restore() { L2_SetClaimDirForTest(dir.c_str()); }
  } restore{testClaims};

  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  gui_test::TempDir dir;
  gui_test::RecordingErrorSink errors;
  const std::vector<uint8_t> firmware = e2e::Pattern(1500, 9);
  const std::string firmwarePath =
      dir.Write("fw.bin", std::string(firmware.begin(), firmware.end()));
  const std::string settings = dir.Write(
      "headless.conf",
      "[General]\nInterface Name=" + pair.serverIf() + "\nFirmware Path=" + firmwarePath + "\n");
  e2e::Child headless(pair.serverNs(), {kServer, "--headless", "--settings", settings});
  ASSERT_TRUE(headless.WaitForOutput("SKAV Server starts running", 30s)) << headless.output();

  InNetns inServer(pair.serverNs());
  ASSERT_TRUE(inServer.ok());
  const std::string serverIf = pair.serverIf();
  auto dlg = OpenWindowOn(pair, dir);
  dlg->SetFirmwarePath(firmwarePath);
  auto* startStop = Ctl<QPushButton>(*dlg, IDC_START_STOP);

  startStop->click();

  EXPECT_FALSE(dlg->Running());
  EXPECT_EQ(dlg->RunState().state, remote::RunState::kStopped);
  EXPECT_EQ(startStop->text(), "Start");
  EXPECT_EQ(Ctl<QLabel>(*dlg, IDC_SERVER_STATUS)->text(), "Server is stopped.");
  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"Interface '" + serverIf +
                                     "' is already served by skav-server (pid " +
                                     std::to_string(headless.pid()) + ")"});
  EXPECT_NE(NetnsPair::ExecOutput(pair.serverNs(), "ip -o -4 addr show dev " + serverIf)
                .find(" 10.0.0.1/8 "),
            std::string::npos);

  e2e::Child sim(pair.deviceNs(), {kDevsim, "--if", pair.deviceIf(), "--expect",
                                   "firmware=" + firmwarePath, "--timeout", "60"});
  EXPECT_EQ(sim.Wait(std::chrono::milliseconds(kServeLimitMs)), 0)
      << sim.output() << headless.output();
  EXPECT_EQ(headless.output().find("SKAV Server is stopped."), std::string::npos)
      << headless.output();

  // Attached to that bench, a window shows its run as it stands and its
  // Clear acts on the bench's own panel.
  std::string why;
  auto client = remote::EngineClient::AttachBench(serverIf, &why);
  ASSERT_NE(client, nullptr) << why;
  CBenchWindow bench({std::move(client), [] { return true; }}, serverIf, nullptr);
  const auto panel = [&] {
    return bench.findChild<QPlainTextEdit*>(QString::number(CBenchWindow::kPanel))->toPlainText();
  };
  const QString board = QStringLiteral("02-5A-00-00-00-01: Done");
  EXPECT_TRUE(gui_test::WaitUntil([&] { return panel().contains(board); }, 10000))
      << panel().toStdString();
  bench.findChild<QPushButton*>(QString::number(CBenchWindow::kClear))->click();
  EXPECT_TRUE(gui_test::WaitUntil(
      [&] { return bench.Link().State().total == 0 && !panel().contains(board); }, 10000))
      << panel().toStdString();
}

// A port whose other end goes off says so in the status and the indicator,
// and again once its link is back.
TEST(WindowNetns, APortWithoutLinkSaysSoWhereTheOperatorLooks) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  InNetns inServer(pair.serverNs());
  gui_test::TempDir dir;
  auto dlg = OpenWindowOn(pair, dir);
  Ctl<QPushButton>(*dlg, IDC_START_STOP)->click();
  ASSERT_TRUE(dlg->Running());
  const auto status = [&] { return Ctl<QLabel>(*dlg, IDC_SERVER_STATUS)->text().toStdString(); };
  ASSERT_EQ(Shell("ip -n " + pair.deviceNs() + " link set " + pair.deviceIf() + " down"), 0);
  EXPECT_TRUE(gui_test::WaitUntil([&] { return status() == "No link on '" + pair.serverIf() + "'"; },
                                  10000))
      << status();
  ASSERT_EQ(Shell("ip -n " + pair.deviceNs() + " link set " + pair.deviceIf() + " up"), 0);
  EXPECT_TRUE(gui_test::WaitUntil([&] { return status() == "Server is running..."; }, 10000))
      << status();
  Ctl<QPushButton>(*dlg, IDC_START_STOP)->click();
}

// A lost port is a run that waits, not a stopped one: the board it cut off
// stays on the panel with its outcome when the run goes on, and the notice
// goes away by itself.
TEST(WindowNetns, APortPulledMidRunWaitsForItAndGoesOnWithTheBoardItCutOff) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  InNetns inServer(pair.serverNs());
  ASSERT_TRUE(inServer.ok());
  gui_test::TempDir dir;
  gui_test::RecordingErrorSink errors;
  auto dlg = OpenWindowOn(pair, dir);
  dlg->SetFirmwarePath(dir.Write("fw.bin", std::string(256 * 1024, 'f')));
  Ctl<QPushButton>(*dlg, IDC_START_STOP)->click();
  ASSERT_TRUE(dlg->Running()) << (errors.Messages().empty() ? "" : errors.Messages()[0]);
  // Every second ACK left out: the board is mid-transfer when the port goes.
  e2e::Child sim(pair.deviceNs(), {kDevsim, "--if", pair.deviceIf(), "--drop-ack", "2",
                                   "--timeout", "60", "-v"});
  ASSERT_TRUE(gui_test::WaitUntil(
      [&] {
        sim.Wait(0ms);
        return sim.output().find("RX WRQ") != std::string::npos;
      },
      30000))
      << sim.output();
  const auto panel = [&] { return Ctl<QPlainTextEdit>(*dlg, IDC_STATUS_TEXT)->toPlainText(); };
  const auto notices = [&] {
    int shown = 0;
    for (QMessageBox* box : dlg->findChildren<QMessageBox*>())
      shown += box->isVisible() && box->text().contains(QStringLiteral("is gone"));
    return shown;
  };

  ASSERT_EQ(Shell("ip -n " + pair.serverNs() + " link del " + pair.serverIf()), 0);
  EXPECT_TRUE(gui_test::WaitUntil(
      [&] { return dlg->RunState().state == remote::RunState::kWaitingForPort; }, 10000));
  EXPECT_EQ(Ctl<QLabel>(*dlg, IDC_SERVER_STATUS)->text(),
            QString::fromStdString("Waiting for the network interface '" + pair.serverIf() +
                                   "'..."));
  EXPECT_EQ(Ctl<QPushButton>(*dlg, IDC_START_STOP)->text(), "Stop");
  EXPECT_FALSE(dlg->Running());
  EXPECT_TRUE(panel().contains("02-5A-00-00-00-01: Error")) << panel().toStdString();
  // One notice names the port; the capture's own failure is not shown.
  EXPECT_EQ(notices(), 1);
  EXPECT_TRUE(errors.Messages().empty()) << errors.Messages()[0];

  ASSERT_EQ(Shell("ip link add " + pair.serverIf() + " netns " + pair.serverNs() +
                  " type veth peer name " + pair.deviceIf() + " netns " + pair.deviceNs()),
            0);
  // The device's end up too, so that the port has its link.
  ASSERT_EQ(Shell("ip -n " + pair.deviceNs() + " link set " + pair.deviceIf() + " up"), 0);
  EXPECT_TRUE(gui_test::WaitUntil(
      [&] { return dlg->RunState().state == remote::RunState::kRunning; }, 15000));
  EXPECT_EQ(Ctl<QLabel>(*dlg, IDC_SERVER_STATUS)->text(), "Server is running...");
  EXPECT_TRUE(panel().contains("02-5A-00-00-00-01: Error")) << panel().toStdString();
  EXPECT_EQ(notices(), 0);
  gui_test::ClickStopServing(*dlg);
  EXPECT_FALSE(dlg->Running());
}

}  // namespace
