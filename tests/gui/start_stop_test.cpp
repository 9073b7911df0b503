// Start and Stop from the window, served by its engine: the messages of a
// start that cannot go on, what the window shows in each state, an error
// of the engine's server thread shown without holding the run up, and the
// order of the close.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <csignal>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <thread>

#include "console/gui/gui_error_sink.h"
#include "console/gui/server_dlg.h"
#include "console/settings/plain_controls.h"
#include "console/settings/settings_store.h"
#include "report/status_panel.h"
#include "gui_support.h"

namespace {

using namespace gui_test;

std::unique_ptr<CServerDlg> OpenWindow(int interfaces, FakeLink& link, const std::string& settings) {
  auto dlg = std::make_unique<CServerDlg>(FakeOptions(interfaces, link, settings));
  dlg->OnInitDialog();
  return dlg;
}

template <typename W>
W* Ctl(const CServerDlg& dlg, int id) {
  return qobject_cast<W*>(dlg.Control(id));
}

void ClickStartStop(const CServerDlg& dlg) { Ctl<QPushButton>(dlg, IDC_START_STOP)->click(); }

void ExpectStopped(const CServerDlg& dlg) {
  EXPECT_FALSE(dlg.Running());
  EXPECT_EQ(Ctl<QPushButton>(dlg, IDC_START_STOP)->text(), "Start");
  EXPECT_EQ(Ctl<QLabel>(dlg, IDC_SERVER_STATUS)->text(), "Server is stopped.");
  EXPECT_FALSE(Ctl<QPushButton>(dlg, IDC_CLEAR_STATUS)->isEnabled());
  EXPECT_TRUE(Ctl<QLabel>(dlg, IDC_INDICATOR)->isHidden());
  EXPECT_EQ(dlg.RunState().state, remote::RunState::kStopped);
}

bool SentAdvertise(const FakeLink& link) {
  for (const auto& f : link.port->Sent()) {
    if (f.size() >= 20 && f[12] == 0x09 && f[13] == 0x12 && f[16] == 0x01) return true;
  }
  return false;
}

TEST(WindowStart, NoInterfaceChosenAmongSeveralOpensNothing) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(3, link, dir.File("settings.ini"));
  auto* list = Ctl<QComboBox>(*dlg, IDC_INTERFACE);
  ASSERT_EQ(list->count(), 4);
  EXPECT_EQ(list->itemText(0), "Select one...");
  EXPECT_EQ(list->itemText(3), "veth2");
  EXPECT_EQ(list->currentIndex(), 0);
  dlg->OnDebugWindow();

  ClickStartStop(*dlg);

  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"Please select a network interface to run the server"});
  EXPECT_TRUE(link.opened.empty());
  EXPECT_TRUE(link.addressed.empty());
  ExpectStopped(*dlg);
  EXPECT_EQ(DebugText(*dlg), "SKAV Server is stopped.\n");
}

TEST(WindowStart, EmptyInterfaceListGivesTheSameMessage) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(0, link, dir.File("settings.ini"));
  EXPECT_EQ(Ctl<QComboBox>(*dlg, IDC_INTERFACE)->count(), 0);
  EXPECT_EQ(dlg->InterfaceSelection(), -1);
  ClickStartStop(*dlg);
  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"Please select a network interface to run the server"});
  EXPECT_TRUE(link.opened.empty());
  ExpectStopped(*dlg);
}

TEST(WindowStart, StringTableUnreadableAfterFirmwareFreesItAndStops) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  const std::string missing = dir.File("no-such-table.bin");
  dlg->SetFirmwarePath(dir.Write("fw.bin", std::string(1300, 'F')));
  dlg->SetStringTablePath(1, dir.Write("st1.bin", "table one"));
  dlg->SetStringTablePath(2, missing);

  ClickStartStop(*dlg);

  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"Unable to load the string table file '02' to memory: " +
                                     missing +
                                     " (Fail to open the file: No such file or directory)"});
  ASSERT_EQ(link.opened.size(), 1u);  // the firmware had been loaded behind the link
  EXPECT_TRUE(link.closed);
  ExpectStopped(*dlg);
}

TEST(WindowStart, BlankFirmwarePathStartsWithTablesOnly) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  dlg->SetFirmwarePath("   ");
  dlg->SetStringTablePath(3, dir.Write("st3.bin", "table three"));
  ClickStartStop(*dlg);
  ASSERT_TRUE(dlg->Running()) << (errors.Messages().empty() ? "" : errors.Messages()[0]);
  // Each field's tooltip names what the engine loaded from it.
  EXPECT_EQ(Ctl<QLineEdit>(*dlg, IDC_FIRMWARE)->toolTip(), "");
  EXPECT_EQ(Ctl<QLineEdit>(*dlg, IDC_ST1)->toolTip(), "");
  EXPECT_TRUE(Ctl<QLineEdit>(*dlg, IDC_ST3)->toolTip().contains("st3.bin"))
      << Ctl<QLineEdit>(*dlg, IDC_ST3)->toolTip().toStdString();
  ClickStartStop(*dlg);
  EXPECT_TRUE(errors.Messages().empty());
  ExpectStopped(*dlg);
}

TEST(WindowStart, RunsAndStopsOnTheChosenInterface) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(3, link, dir.File("settings.ini"));
  dlg->OnDebugWindow();
  dlg->SelectInterfaceItem(2);
  ASSERT_TRUE(dlg->SelectRegionByName("gr"));

  ClickStartStop(*dlg);

  ASSERT_TRUE(dlg->Running());
  EXPECT_EQ(link.opened, std::vector<std::string>{"veth1|veth1"});
  EXPECT_EQ(link.addressed, std::vector<std::string>{"veth1|10.0.0.1|255.0.0.0"});
  EXPECT_EQ(Ctl<QPushButton>(*dlg, IDC_START_STOP)->text(), "Stop");
  EXPECT_EQ(Ctl<QLabel>(*dlg, IDC_SERVER_STATUS)->text(), "Server is running...");
  EXPECT_TRUE(Ctl<QPushButton>(*dlg, IDC_CLEAR_STATUS)->isEnabled());
  EXPECT_FALSE(Ctl<QLabel>(*dlg, IDC_INDICATOR)->isHidden());
  EXPECT_TRUE(WaitUntil([&] { return SentAdvertise(link); }));
  EXPECT_TRUE(WaitUntil([&] {
    return DebugText(*dlg).find("SKAV Server starts running (region: 3)...\n") != std::string::npos;
  }));
  // The indicator blinks: hidden and shown again within two ticks.
  auto* indicator = Ctl<QLabel>(*dlg, IDC_INDICATOR);
  EXPECT_TRUE(WaitUntil([&] { return indicator->isHidden(); }, 3000));
  EXPECT_TRUE(WaitUntil([&] { return !indicator->isHidden(); }, 3000));

  ClickStartStop(*dlg);

  EXPECT_TRUE(link.closed);
  EXPECT_TRUE(errors.Messages().empty());
  ExpectStopped(*dlg);
}

TEST(WindowStart, DevicesAppearOnThePanelInTheChosenOrder) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  ClickStartStop(*dlg);
  ASSERT_TRUE(dlg->Running());
  const uint8_t macs[3][6] = {{0x00, 0x1b, 0x2c, 0x00, 0x00, 0x07},
                              {0x00, 0x1b, 0x2c, 0x00, 0x00, 0x03},
                              {0x00, 0x1b, 0x2c, 0x00, 0x00, 0x05}};
  for (const auto& mac : macs) link.port->Inject(Request(mac, 0x02));
  auto* panel = Ctl<QPlainTextEdit>(*dlg, IDC_STATUS_TEXT);
  const std::string up =
      "00-1B-2C-00-00-03: Reworking    00-1B-2C-00-00-05: Reworking    "
      "00-1B-2C-00-00-07: Reworking    ";
  EXPECT_TRUE(WaitUntil([&] {
    return panel->toPlainText().toStdString() == "Total    3 devices: Reworking (3)\n\n" + up;
  })) << panel->toPlainText().toStdString();

  Ctl<QRadioButton>(*dlg, IDC_SORT_MAC_DOWN)->click();
  EXPECT_TRUE(WaitUntil([&] { return dlg->RunState().sortKey == IDC_SORT_MAC_DOWN; }));
  const std::string down =
      "00-1B-2C-00-00-07: Reworking    00-1B-2C-00-00-05: Reworking    "
      "00-1B-2C-00-00-03: Reworking    ";
  EXPECT_TRUE(WaitUntil([&] {
    return panel->toPlainText().toStdString() == "Total    3 devices: Reworking (3)\n\n" + down;
  })) << panel->toPlainText().toStdString();

  ClickStopServing(*dlg);
  // Stopped: the control shows every board the stop cut off as it ended,
  // in Error, once the stop has returned.
  EXPECT_EQ(panel->toPlainText().toStdString(),
            "Total    3 devices: Error (3)\n\n"
            "00-1B-2C-00-00-07: Error        00-1B-2C-00-00-05: Error        "
            "00-1B-2C-00-00-03: Error        ");
  EXPECT_TRUE(errors.Messages().empty());
}

// The run goes on with what it loaded: a change says when it applies, and
// its field stays marked until the next Start.
TEST(WindowStart, AConfigurationChangedWhileRunningIsToldAndMarkedUntilTheNextStart) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  dlg->OnDebugWindow();
  ClickStartStop(*dlg);
  const std::string next = dir.Write("next.bin", "next firmware");
  dlg->SetFirmwarePath(next);
  EXPECT_TRUE(WaitUntil([&] {
    return DebugText(*dlg).find("Firmware Path '" + next +
                                "'; the run goes on with what it loaded, the change applies "
                                "at the next Start\n") != std::string::npos;
  })) << DebugText(*dlg);
  auto* field = Ctl<QLineEdit>(*dlg, IDC_FIRMWARE);
  const QString mark = QStringLiteral("Changed while the server runs: it applies at the next Start");
  EXPECT_EQ(field->toolTip(), mark);
  ClickStartStop(*dlg);
  ClickStartStop(*dlg);
  ASSERT_TRUE(dlg->Running()) << (errors.Messages().empty() ? "" : errors.Messages()[0]);
  EXPECT_NE(field->toolTip(), mark);
}

// Restores the panel's allocator and the error sink whatever the test does.
struct FailingRebuilds {
  FailingRebuilds() { SetStatusAllocator([](size_t) -> void* { return nullptr; }); }
  ~FailingRebuilds() { SetStatusAllocator(nullptr); }
};
struct ErrorSinkInstalled {
  explicit ErrorSinkInstalled(ErrorSink* sink) { SetErrorSink(sink); }
  ~ErrorSinkInstalled() { SetErrorSink(nullptr); }
};

// The engine never waits for the window: the box of an error on its server
// thread is the window's, shown while no thread waits for it, and a stop
// after it completes as any other.
TEST(WindowStop, AnErrorOfTheEnginesServerThreadIsShownAndHoldsNothingUp) {
  TempDir dir;
  FakeLink link;
  GuiErrorSink boxes;
  ErrorSinkInstalled installed(&boxes);
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  ClickStartStop(*dlg);
  ASSERT_TRUE(dlg->Running());
  // A CONF-REQ that does not parse: a client on the panel, finished at once,
  // so that the Stop has no device in mid-exchange to ask about.
  const uint8_t mac[6] = {0x00, 0x1b, 0x2c, 0x00, 0x00, 0x01};
  MemoryPort::Frame malformed = Request(mac, 0x02);
  malformed.back() = 0x05;  // a Length below the header's own
  link.port->Inject(malformed);
  auto* panel = Ctl<QPlainTextEdit>(*dlg, IDC_STATUS_TEXT);
  ASSERT_TRUE(WaitUntil([&] { return panel->toPlainText().contains("00-1B-2C-00-00-01"); }));

  BoxLog seen;
  int waitingWhileAsked = -1;
  ModalHand hand([&](QWidget* w) {
    waitingWhileAsked = boxes.Waiting();
    return seen.Take(w);
  });
  {
    // The rebuild the sort button asks for fails to allocate.
    FailingRebuilds failing;
    Ctl<QRadioButton>(*dlg, IDC_SORT_STATUS)->click();
    ASSERT_TRUE(WaitUntil([&] { return !seen.texts.empty(); }));
  }
  EXPECT_EQ(seen.texts[0], "GUIStatusUpdateSorting() fails to allocate memory");
  EXPECT_EQ(seen.titles[0], "Error");
  EXPECT_EQ(seen.icons[0], QMessageBox::Critical);
  EXPECT_EQ(waitingWhileAsked, 0);

  ClickStartStop(*dlg);

  EXPECT_EQ(seen.texts.size(), 1u);
  EXPECT_TRUE(link.closed);
  ExpectStopped(*dlg);
}

// Watches the close: what had happened when the stop began and ended.
class CloseProbe : public CServerDlg {
 public:
  using CServerDlg::CServerDlg;
  std::function<void()> beforeStop;
  std::function<void()> afterStop;
  void StopServer() override {
    if (beforeStop) beforeStop();
    CServerDlg::StopServer();
    if (afterStop) afterStop();
  }
};

TEST(WindowClose, WhileRunningSavesThenStopsThenClosesTheLog) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  const std::string settings = dir.File("settings.ini");
  const std::string logPath = dir.File("rework-log.txt");
  CloseProbe dlg(FakeOptions(1, link, settings));
  dlg.OnInitDialog();
  dlg.SetFirmwarePath(dir.Write("fw.bin", "firmware"));
  dlg.SetLogPath(logPath);
  dlg.SetLogEnabled(true);
  ASSERT_TRUE(dlg.OpenLogFile());
  Ctl<QPushButton>(dlg, IDC_START_STOP)->click();
  ASSERT_TRUE(dlg.Running());
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadFile(logPath).find("Firmware Reworking starts") != std::string::npos; }));
  ASSERT_FALSE(std::filesystem::exists(settings));

  std::vector<std::string> order;
  dlg.beforeStop = [&] {
    if (!order.empty()) return;
    order.push_back(std::filesystem::exists(settings) ? "saved" : "not saved");
    order.push_back(dlg.Running() ? "running" : "not running");
    order.push_back(HeldOpen(logPath) ? "log open" : "log closed");
  };
  dlg.afterStop = [&] {
    if (order.size() != 3) return;
    order.push_back(dlg.Running() || !link.closed ? "not stopped" : "stopped");
    order.push_back(HeldOpen(logPath) ? "log open" : "log closed");
  };

  EXPECT_TRUE(dlg.close());

  EXPECT_EQ(order, (std::vector<std::string>{"saved", "running", "log open", "stopped",
                                             "log open"}));
  // The engine has ended with the window's close, its log file closed.
  EXPECT_FALSE(HeldOpen(logPath));
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(errors.Messages().empty());
  L2_IfList one;
  Interfaces(1)(&one);
  PlainControls stored(one);
  EXPECT_EQ(LoadSettings(stored, settings), 1);
  EXPECT_EQ(stored.FirmwarePath(), dir.File("fw.bin"));
  EXPECT_TRUE(stored.LogEnabled());
  EXPECT_EQ(stored.LogPath(), logPath);
}

// Answers each message box with `*answer`, keeping its text ("[No]" when
// No is its default).
ModalHand Answer(std::vector<QString>* asked, const QMessageBox::StandardButton* answer) {
  return ModalHand([asked, answer](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box == nullptr) return false;
    const bool no = box->defaultButton() == box->button(QMessageBox::No);
    asked->push_back(box->text() + (no ? " [No]" : ""));
    box->button(*answer)->click();
    return true;
  });
}

// Stop and close with devices in mid-exchange ask first (No by default);
// with none, Stop is at once (the other tests stop so).
TEST(WindowClose, WithDevicesInMidExchangeStopAndCloseAskFirstAndDoNothingUnlessTold) {
  TempDir dir;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  ClickStartStop(*dlg);
  const uint8_t macs[2][6] = {{0, 0x1b, 0x2c, 0, 0, 1}, {0, 0x1b, 0x2c, 0, 0, 2}};
  for (const auto& mac : macs) link.port->Inject(Request(mac, 0x02));
  ASSERT_TRUE(WaitUntil([&] { return dlg->RunState().reworkingCount == 2; }));
  std::vector<QString> asked;
  QMessageBox::StandardButton answer = QMessageBox::No;
  auto hand = Answer(&asked, &answer);
  ClickStartStop(*dlg);
  EXPECT_TRUE(dlg->Running());
  EXPECT_FALSE(dlg->close());
  answer = QMessageBox::Yes;
  EXPECT_TRUE(dlg->close());
  EXPECT_FALSE(dlg->Running());
  EXPECT_EQ(asked, (std::vector<QString>{
                       "2 devices are being served. Stop them? [No]",
                       "2 devices are being served. Stop them and close? [No]",
                       "2 devices are being served. Stop them and close? [No]"}));
}

// A window writes back only the values it changed: one that changed none
// (a locked operator's) writes nothing over a newer file, and where the
// file changed the same value meanwhile the operator is asked, told both.
TEST(WindowClose, AWindowWritesBackOnlyWhatItChangedAndAsksWhereTheFileChangedTheSame) {
  TempDir dir;
  FakeLink linkA, linkB, linkC;
  const std::string file = dir.File("settings.ini");
  auto locked = OpenWindow(1, linkA, file);
  auto first = OpenWindow(1, linkB, file);
  auto second = OpenWindow(1, linkC, file);
  std::vector<QString> asked;
  const QMessageBox::StandardButton answer = QMessageBox::No;
  auto hand = Answer(&asked, &answer);
  first->SetFirmwarePath("/srv/fw/chosen.bin");
  second->SetFirmwarePath("/srv/fw/other.bin");
  second->SetStringTablePath(1, "/srv/fw/st1.bin");
  EXPECT_TRUE(first->close() && second->close() && locked->close());
  EXPECT_EQ(asked, std::vector<QString>{
                       "The settings file was changed since this window opened it: Firmware "
                       "Path '/srv/fw/chosen.bin'.\nThis window would write: Firmware Path "
                       "'/srv/fw/other.bin'.\nWrite this window's changes over them? [No]"});
  const std::string saved = ReadFile(file);
  EXPECT_NE(saved.find("/srv/fw/chosen.bin"), std::string::npos) << saved;
  EXPECT_NE(saved.find("/srv/fw/st1.bin"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("/srv/fw/other.bin"), std::string::npos) << saved;
}

// A logout while the settings cannot be saved (here their folder cannot be
// made): the window still ends, its failure on standard error, never in a
// box that nobody will answer.
TEST(WindowClose, ASessionSignalEndsTheWindowWithoutABox) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.Write("not-a-folder", "") + "/settings.ini");
  dlg->SetFirmwarePath("/srv/fw/chosen.bin");  // a change to save
  const auto opened = errors.Messages();  // the folder, said when it opened
  dlg->EndOnSessionSignals();
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !dlg->isVisible(); }));
  EXPECT_EQ(errors.Messages(), opened);
}

TEST(WindowClose, TheProgressWindowOpensAgainAsTheOperatorLeftIt) {
  TempDir dir;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  dlg->OnProgressWindow(true);
  dlg->ProgressWindow().View()->setColumnWidth(0, 321);
  ASSERT_TRUE(dlg->close());
  auto again = OpenWindow(1, link, dir.File("settings.ini"));
  EXPECT_TRUE(again->ProgressWindow().IsOpen());
  EXPECT_EQ(again->ProgressWindow().View()->columnWidth(0), 321);
}

TEST(WindowKeys, EscapeClosesNeitherTheWindowNorTheDebugWindow) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(1, link, dir.File("settings.ini"));
  QTest::keyClick(dlg->Control(IDC_START_STOP), Qt::Key_Escape);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  EXPECT_TRUE(dlg->isVisible());
  dlg->OnDebugWindow();
  QTest::keyClick(dlg->DebugWindow().LogCtl(), Qt::Key_Escape);
  EXPECT_TRUE(dlg->DebugWindow().IsOpen());
  EXPECT_TRUE(dlg->DebugWindow().isVisible());
  EXPECT_FALSE(std::filesystem::exists(dir.File("settings.ini")));  // no close ran
}

}  // namespace
