// Start and Stop from the window, the close request, and the file
// pickers; Start and Stop wait for the engine's answer with the window
// alive.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "console/gui/path_limit.h"
#include "console/gui/server_dlg.h"
#include "console/settings/settings_store.h"
#include "console/settings/stored_config.h"
#include "transfer/image_fingerprint.h"
#include "transfer/upload_images.h"

namespace {

// Written by the signal handler, read by the window's event loop: the one
// thing a handler may safely do is write a byte.
int gSessionPipe[2] = {-1, -1};
constexpr int kSessionSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSessionSignal(int signo) {
  const int saved = errno;
  const char byte = static_cast<char>(signo);
  [[maybe_unused]] const ssize_t n = write(gSessionPipe[1], &byte, 1);
  errno = saved;
}

// How long a closing window waits for its engine to end, beyond the stop
// it has waited for already: the engine then finishes alone.
constexpr int kEngineEndMs = 10000;

// While a session ends (a logout, a shutdown) nobody answers a box: a box
// would keep the process waiting until it is killed, its last lines lost.
// What would have been shown goes to standard error, and into the log file
// when one is kept.
class SessionEndSink : public ErrorSink {
 public:
  explicit SessionEndSink(EngineLink* engine) : engine_(engine) {}
  void Show(const char* text) override {
    std::fprintf(stderr, "skav-server: %s\n", text);
    std::fflush(stderr);
    if (engine_ != nullptr) engine_->Client().LogNote(text);
  }

 private:
  EngineLink* engine_;
};

}  // namespace

void CServerDlg::OnStartStop() {
  // Clicked again while a stop waits: that stop is already on its way.
  if (stopping_) return;
  if (engine_ == nullptr) {
    ErrorBox("Unable to start the engine that serves the devices: %s", engineWhy_.c_str());
    return;
  }
  if (RunState().state == remote::RunState::kWaitingForPort) {
    // The button reads "Stop" while the run waits for its port: the
    // operator ends the wait.
    if (portNotice_ != nullptr) portNotice_->close();
    Ask(engine_->Client().Stop());
    ShowState(RunState());
    return;
  }
  // One click must not cut every board in flight: asked as a close is.
  if (Running() && !ConfirmWhileServing(QStringLiteral("Stop it?"), QStringLiteral("Stop them?")))
    return;
  if (!Running() && StartServer()) return;
  StopServer();
}

remote::StartOrder CServerDlg::OrderOfControls() const {
  remote::StartOrder order;
  // With several interfaces item 0 is "Select one...".
  const int item = InterfaceSelection() - (ifList_.count > 1 ? 1 : 0);
  if (item >= 0 && item < ifList_.count && (ifList_.count == 1 || InterfaceSelection() > 0))
    order.interfaceName = ifList_.name[item];
  order.regionCode = static_cast<uint8_t>(SelectedRegionCode());
  order.firmwarePath = FirmwarePath();
  for (int k = 1; k <= 6; ++k) order.stringTablePaths[k - 1] = StringTablePath(k);
  order.maxClients = static_cast<uint32_t>(std::max(0, LoadMaxClients(options_.settingsFile)));
  order.logEnabled = LogEnabled();
  order.logPath = LogPath();
  order.recordPath = recordPath_;
  return order;
}

bool CServerDlg::Ask(uint32_t seq) { return engine_ != nullptr && engine_->AwaitReply(seq); }

bool CServerDlg::StartServer() {
  if (engine_ == nullptr) return false;
  // On failure the operator has been told why and "SKAV Server is
  // stopped." printed; the engine has released everything of the attempt.
  if (!Ask(engine_->Client().Start(OrderOfControls()))) {
    ShowState(RunState());
    return false;
  }
  progressDlg_->CountFromNow();
  // The engine's state news follows; until then the reply says it all.
  if (!Running()) state_.state = remote::RunState::kRunning;
  ShowLink(true, state_.port);
  ShowImageFingerprints();
  MarkChangesAtStart();
  return true;
}

namespace {

// What a Start loads: the rest (the log file, the record) takes effect at once.
constexpr uint32_t kAppliesAtStart = SETTING_INTERFACE | SETTING_REGION | SETTING_FIRMWARE |
                                     SETTING_STRING_TABLE_1 | SETTING_STRING_TABLE_2 |
                                     SETTING_STRING_TABLE_3 | SETTING_STRING_TABLE_4 |
                                     SETTING_STRING_TABLE_5 | SETTING_STRING_TABLE_6;

// The tint of a field whose value the running server does not use yet.
void MarkField(QWidget* field, bool marked) {
  if (field == nullptr) return;
  QPalette palette = QApplication::palette(field);
  if (marked) {
    palette.setColor(QPalette::Base, QColor(0xff, 0xf0, 0xc0));
    palette.setColor(QPalette::Button, QColor(0xff, 0xf0, 0xc0));
  }
  field->setPalette(palette);
  if (marked) field->setToolTip(QStringLiteral("Changed while the server runs: it applies at the next Start"));
}

std::string UserName() {
  const passwd* pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : std::to_string(getuid());
}

}  // namespace

QWidget* CServerDlg::FieldOf(uint32_t bit) const {
  switch (bit) {
    case SETTING_INTERFACE: return interfaceList_;
    case SETTING_REGION: return regionList_;
    case SETTING_FIRMWARE: return firmwarePath_;
    default: break;
  }
  for (int k = 0; k < 6; ++k)
    if (bit == (SETTING_STRING_TABLE_1 << k)) return tablePaths_[k];
  return nullptr;
}

void CServerDlg::MarkChangesAtStart() {
  changeTimer_->stop();
  for (uint32_t bit = 1; bit <= SETTING_ALL; bit <<= 1)
    if ((toldChanges_ & bit) != 0) MarkField(FieldOf(bit), false);
  runConfig_ = ConfigOf(*this);
  toldChanges_ = 0;
}

void CServerDlg::NoteChangesWhileRunning() {
  if (!Running()) return;
  const StoredConfig now = ConfigOf(*this);
  const uint32_t changed = ConfigDifference(runConfig_, now) & kAppliesAtStart;
  for (uint32_t bit = 1; bit <= SETTING_ALL; bit <<= 1) {
    if ((kAppliesAtStart & bit) != 0) MarkField(FieldOf(bit), (changed & bit) != 0);
  }
  // Told once per value: a value changed back and forth is not told again.
  const uint32_t fresh = changed & ~toldChanges_;
  toldChanges_ |= changed;
  if (fresh == 0) return;
  const std::string text = "Changed while the server runs, by the " +
                           std::string(SupervisorMode() ? "supervisor" : "operator") +
                           " (user " + UserName() + "): " + DescribeConfig(now, fresh) +
                           "; the run goes on with what it loaded, the change applies at the "
                           "next Start";
  DebugPrint(LogControl(&debugDlg_->logCtl), "%s\r\n", text.c_str());
  engine_->Client().LogNote(text);
}

void CServerDlg::ShowImageFingerprints() {
  QLineEdit* const fields[kImageCount] = {firmwarePath_,  tablePaths_[0], tablePaths_[1],
                                          tablePaths_[2], tablePaths_[3], tablePaths_[4],
                                          tablePaths_[5]};
  for (int i = 0; i < kImageCount; ++i) {
    const ImageFacts& facts = imageFacts_[i];
    std::string line = facts.loaded ? FingerprintLine(facts) : std::string();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    fields[i]->setToolTip(QString::fromStdString(line));
  }
}

void CServerDlg::StopServer() {
  if (stopping_ || engine_ == nullptr || !Running()) return;
  stopping_ = true;
  serverStatus_->setText(QStringLiteral("Stopping..."));
  startStop_->setEnabled(false);
  // The engine's threads may still print, edit the panel or raise errors
  // until they have ended: the window dispatches its events meanwhile.
  Ask(engine_->Client().Stop());
  startStop_->setEnabled(true);
  stopping_ = false;
  ShowState(RunState());
  // A close asked while the stop waited, whoever started the stop.
  if (closeAfterStop_) {
    closeAfterStop_ = false;
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
  }
}

void CServerDlg::EndOnSessionSignals() {
  if (gSessionPipe[0] < 0 && pipe2(gSessionPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnSessionSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : kSessionSignals) sigaction(signo, &action, nullptr);
  sessionSignals_ = true;
  auto* notifier = new QSocketNotifier(gSessionPipe[0], QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (read(gSessionPipe[0], bytes, sizeof bytes) > 0) {
    }
    EndSession();
  });
}

void CServerDlg::EndSession() {
  if (endingSession_) return;
  endingSession_ = true;
  sessionSink_ = std::make_unique<SessionEndSink>(engine_);
  sinkBeforeSession_ = SetErrorSink(sessionSink_.get());
  // A box that is up runs an event loop of its own, inside whatever asked
  // for it: it goes now, and the close comes once that loop has returned.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QDialog*>(window);
    if (box != nullptr && box != this && box->isVisible() && box->isModal()) box->reject();
  }
  QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
}

void CServerDlg::ForgetSessionSignals() {
  if (!sessionSignals_) return;
  for (int signo : kSessionSignals) signal(signo, SIG_DFL);
  sessionSignals_ = false;
}

void CServerDlg::ShowUnwrittenOutcomes(const std::string& lost) {
  if (lost.empty()) return;
  const QString intro =
      QStringLiteral("These outcomes could not be written to their files; keep this copy:");
  // A session that is ending has nobody to answer a box.
  if (endingSession_) {
    std::fprintf(stderr, "skav-server: %s\n%s", intro.toUtf8().constData(), lost.c_str());
    return;
  }
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                  intro + '\n' + QString::fromStdString(lost), QMessageBox::Ok, this);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
  box.exec();
}

void CServerDlg::EndEngine() {
  if (engine_ == nullptr) return;
  // The engine stops a run still going, every outcome written, and ends;
  // past the limit the window goes without it, and it finishes alone.
  if (!engine_->Close(kEngineEndMs)) {
    std::fprintf(stderr, "skav-server: the engine is still writing the run's last lines; it "
                         "ends by itself\n");
  }
}

uint32_t CServerDlg::ChangesToSave() {
  // What this window changed since it loaded: a value nobody changed here
  // (a locked operator changes none) is never written back over a newer one.
  const StoredConfig now = ConfigOf(*this);
  const uint32_t mine = ConfigDifference(windowLoaded_, now);
  if (mine == 0) return 0;
  const StoredConfig disk = ReadStoredConfig(options_.settingsFile);
  const uint32_t clash = mine & ConfigDifference(diskLoaded_, disk);
  // A session that is ending has nobody to answer: this window's changes
  // are saved as they were made.
  if (clash == 0 || endingSession_) return mine;
  const QString text =
      QStringLiteral("The settings file was changed since this window opened it: %1.\n"
                     "This window would write: %2.\nWrite this window's changes over them?")
          .arg(QString::fromStdString(DescribeConfig(disk, clash)),
               QString::fromStdString(DescribeConfig(now, clash)));
  if (QMessageBox::question(this, QStringLiteral("SKAV Server"), text,
                            QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) == QMessageBox::Yes)
    return mine;
  // The file's values stand; this window's other changes are still saved.
  return mine & ~clash;
}

void CServerDlg::OnClose() {
  const uint32_t mask = ChangesToSave();
  if (mask != 0 && !SaveSettings(*this, mask, options_.settingsFile)) {
    ErrorBox(
        "Fail to save user configurations, you may need to configure everything again "
        "next time when you run the server.");
  } else {
    SaveProgressLayout(
        {progressDlg_->IsOpen(), progressDlg_->ColumnState(), progressDlg_->Geometry()},
        options_.settingsFile);
  }
  StopServer();
  EndEngine();
  if (debugDlg_->IsOpen()) debugDlg_->close();
  if (progressDlg_->IsOpen()) progressDlg_->close();
}

void CServerDlg::closeEvent(QCloseEvent* event) {
  if (stopping_) {
    // A stop is waiting for the server thread; close once it is done.
    closeAfterStop_ = true;
    event->ignore();
    return;
  }
  if (!closed_ && !endingSession_ &&
      !ConfirmWhileServing(QStringLiteral("Stop it and close?"),
                           QStringLiteral("Stop them and close?"))) {
    event->ignore();
    return;
  }
  if (!closed_) {
    closed_ = true;
    OnClose();
  }
  QDialog::closeEvent(event);
}

bool CServerDlg::ConfirmWhileServing(const QString& one, const QString& many) {
  // The panel's count, as the operator sees it: a stop cuts every board
  // still in the middle of its exchange, and each of them ends in Error.
  const int32_t serving = Running() ? RunState().reworkingCount : 0;
  if (serving <= 0) return true;
  const QString text = serving == 1
                           ? QStringLiteral("1 device is being served. ") + one
                           : QStringLiteral("%1 devices are being served. ").arg(serving) + many;
  return QMessageBox::question(this, QStringLiteral("SKAV Server"), text,
                               QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void CServerDlg::reject() {
  if (!closed_) {
    close();
    return;
  }
  QDialog::reject();
}

int CServerDlg::BrowseForFile(int fieldId, const QString& title, const QString& filter,
                              BrowseFlags flags) {
  auto* field = qobject_cast<QLineEdit*>(Control(fieldId));
  if (field == nullptr) return 0;
  QFileDialog dialog(this, title, QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(flags == BrowseFlags::kExistingFile ? QFileDialog::ExistingFile
                                                         : QFileDialog::AnyFile);
  dialog.selectNameFilter(filter);
  QString path;
  for (;;) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return 0;
    path = dialog.selectedFiles().constFirst();
    if (flags != BrowseFlags::kCreatePrompt || QFileInfo::exists(path)) break;
    // A new log file: confirmed first, created by the open.
    const auto answer = QMessageBox::question(
        this, title,
        QStringLiteral("%1\nThis file does not exist.\nDo you want to create it?").arg(path),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) break;
  }
  if (!PathFitsSettings(path)) return 0;
  // The supervisor learns now, not at the next Start, that it cannot be sent.
  std::string why;
  if (flags == BrowseFlags::kExistingFile &&
      !CheckImageFile(path.toLocal8Bit().constData(), &why)) {
    ErrorBox("Unable to use the file '%s' (%s)", path.toUtf8().constData(), why.c_str());
    return 0;
  }
  field->setText(path);
  field->setCursorPosition(static_cast<int>(field->text().size()));
  return 1;
}

void CServerDlg::OnSortButton(int id) {
  if (engine_ != nullptr) engine_->Client().Sort(static_cast<uint16_t>(id));
}

void CServerDlg::OnClearStatus() {
  if (engine_ != nullptr) engine_->Client().Clear();
}

void CServerDlg::OnRetryFailed() {
  if (engine_ != nullptr) engine_->Client().RetryFailed();
}
