// Opens the operator's window with the Debug Window, starts the server and
// saves a picture of the screen once devices are on the panel. Not a test:
// run it under Xvfb to look at the window as an operator would.
//
//   gui_screenshot OUT.png [--supervisor]  in-memory link, scripted devices
//   gui_screenshot OUT.png --interface IF  a real interface; refused outside
//                                          a named network namespace (see
//                                          screenshot_netns.sh)
//   ... --progress                         the Transfer Progress window
//   ... --stop                             Stop pressed before the pictures
//                                          instead of the Debug Window
// Writes OUT.png (the screen), OUT-main.png and OUT-debug.png (or
// OUT-progress.png), and OUT-box.png for a message box, which it prints
// and answers (Yes to a question).
#include <sys/stat.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "console/gui/gui_error_sink.h"
#include "console/gui/server_app.h"
#include "console/gui/server_dlg.h"
#include "gui_support.h"

namespace {

using namespace gui_test;

// Frames only ever go out inside a named namespace (ip netns add), never
// on the machine's own interfaces.
bool InOwnNamespace() {
  struct stat self {};
  if (stat("/proc/self/ns/net", &self) != 0) return false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    struct stat named {};
    if (stat(entry.path().c_str(), &named) == 0 && named.st_ino == self.st_ino &&
        named.st_dev == self.st_dev) {
      return true;
    }
  }
  return false;
}

void Grab(const QString& path) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen->grabWindow(0);
  std::printf("%s: %s (%dx%d)\n", qPrintable(path), shot.save(path) ? "saved" : "NOT saved",
              shot.width(), shot.height());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gui_screenshot OUT.png [--interface IF] [--settle MS]\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  std::string realInterface;
  int settleMs = 9000;
  bool supervisor = false;
  bool progress = false;
  bool stop = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--supervisor") == 0) supervisor = true;
    if (std::strcmp(argv[i], "--progress") == 0) progress = true;
    if (std::strcmp(argv[i], "--stop") == 0) stop = true;
    if (i + 1 >= argc) break;
    if (std::strcmp(argv[i], "--interface") == 0) realInterface = argv[++i];
    if (std::strcmp(argv[i], "--settle") == 0) settleMs = std::atoi(argv[++i]);
  }
  if (!realInterface.empty() && !InOwnNamespace()) {
    std::fprintf(stderr, "gui_screenshot: a real interface only inside a network namespace\n");
    return 2;
  }

  int qtArgc = 1;
  CServerApp app(qtArgc, argv);
  GuiErrorSink errors;
  SetErrorSink(&errors);
  TempDir dir;
  FakeLink link;
  ServerDlgOptions options;
  options.settingsFile = dir.File("settings.ini");
  if (realInterface.empty()) {
    options.listInterfaces = [](L2_IfList* list) {
      list->count = 2;
      std::snprintf(list->name[0], sizeof list->name[0], "enp3s0");
      std::snprintf(list->description[0], sizeof list->description[0], "enp3s0");
      std::snprintf(list->name[1], sizeof list->name[1], "enx00e04c680b2a");
      std::snprintf(list->description[1], sizeof list->description[1], "enx00e04c680b2a");
      return 0;
    };
    options.connectEngine = gui_test::EngineWith(options.listInterfaces, link.Ops());
  } else {
    // The engine program itself, in the namespace this program runs in.
    options.connectEngine = [](std::string* why) {
      return EngineConnection{remote::EngineClient::StartOwn(why, SKAV_ENGINE_BIN), {}};
    };
  }

  CServerDlg dlg(options);
  dlg.OnInitDialog();
  dlg.move(10, 10);
  int item = realInterface.empty() ? 2 : -1;
  for (int i = 0; i < dlg.InterfaceCount(); ++i) {
    if (dlg.InterfaceDescription(i) == realInterface) item = dlg.InterfaceCount() > 1 ? i + 1 : 0;
  }
  dlg.SelectInterfaceItem(item);
  dlg.SelectRegionByName("WW");
  if (realInterface.empty()) {
    dlg.SetFirmwarePath("");
  } else {
    dlg.SetFirmwarePath(dir.Write("KX200_fw_v2.4.1.bin", std::string(300 * 1024, '\x5a')));
  }
  dlg.SetStringTablePath(1, dir.Write("strings_en.tbl", std::string(3000, 'e')));
  dlg.SetStringTablePath(2, dir.Write("strings_de.tbl", std::string(2500, 'd')));
  dlg.SetLogPath(dir.File("rework-bench-3.txt"));
  dlg.SetLogEnabled(true);
  dlg.OpenLogFile();
  if (supervisor) dlg.EnterSupervisorMode();
  if (progress) {
    dlg.OnProgressWindow(true);
    // Below the main window, as on a bench screen of 1920 x 1080.
    dlg.ProgressWindow().move(10, dlg.frameGeometry().bottom() + 12);
  } else {
    dlg.OnDebugWindow();
    dlg.DebugWindow().move(dlg.frameGeometry().right() + 12, 10);
  }

  // Message boxes are printed, pictured and answered.
  QTimer boxes;
  QObject::connect(&boxes, &QTimer::timeout, &app, [&out] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) return;
    QString picture = out;
    picture.chop(4);
    Grab(picture + QStringLiteral("-box.png"));
    std::printf("box \"%s\": %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
    // The quit at the end closes the window, which asks first while
    // devices are in flight.
    QAbstractButton* answer = box->button(QMessageBox::Ok);
    if (answer == nullptr) answer = box->button(QMessageBox::Yes);
    if (answer != nullptr) answer->click();
  });
  boxes.start(200);
  qobject_cast<QPushButton*>(dlg.Control(IDC_START_STOP))->click();
  if (!dlg.Running()) {
    std::fprintf(stderr, "gui_screenshot: the server did not start\n");
    return 1;
  }
  if (realInterface.empty()) {
    // Twelve devices ask to be configured; some close at once without
    // taking the string tables on offer (Error once the close timer has
    // run), the others are still being served.
    for (uint8_t i = 0; i < 12; ++i) {
      const uint8_t mac[6] = {0x00, 0x1b, 0x2c, 0x4d, 0x10, static_cast<uint8_t>(0x21 + 3 * i)};
      link.port->Inject(Request(mac, 0x02));
      if (i % 5 == 1 || i % 4 == 0) link.port->Inject(Request(mac, 0x04));
    }
  }
  // After the settling time, at the next moment the indicator is lit.
  QTimer poll;
  QElapsedTimer clock;
  clock.start();
  QObject::connect(&poll, &QTimer::timeout, &app, [&] {
    // A run that waits for its port, or was stopped, shows no indicator.
    if (clock.elapsed() < settleMs || (dlg.Running() && dlg.Control(IDC_INDICATOR)->isHidden()))
      return;
    // Once: the waits below run the event loop, and this timer with it.
    poll.stop();
    // The operator's Stop with devices in flight (the question answered Yes).
    if (stop && dlg.Running()) qobject_cast<QPushButton*>(dlg.Control(IDC_START_STOP))->click();
    QTest::qWait(150);
    Grab(out);
    // Each window alone too, at full size, for a closer look.
    QString base = out;
    base.chop(4);
    dlg.grab().save(base + QStringLiteral("-main.png"));
    if (progress) {
      // The last row selected, as an operator looking at a failure would.
      QTreeView* view = dlg.ProgressWindow().View();
      view->setCurrentIndex(view->model()->index(view->model()->rowCount() - 1, 0));
      dlg.ProgressWindow().Refresh();
      dlg.ProgressWindow().grab().save(base + QStringLiteral("-progress.png"));
    } else {
      dlg.DebugWindow().grab().save(base + QStringLiteral("-debug.png"));
    }
    QApplication::quit();
  });
  poll.start(50);
  app.exec();
  if (dlg.Running()) qobject_cast<QPushButton*>(dlg.Control(IDC_START_STOP))->click();
  dlg.DebugWindow().close();
  dlg.ProgressWindow().close();
  SetErrorSink(nullptr);
  return 0;
}
