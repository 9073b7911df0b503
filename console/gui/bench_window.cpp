// The bench window: what the service's engine tells, shown as the main
// window shows its own run, and the verbs a front end may send it.
#include "console/gui/bench_window.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/gui/debug_dialog.h"
#include "console/gui/passwd_dialog.h"
#include "console/gui/progress_dialog.h"
#include "console/gui/status_view.h"
#include "report/debug_print.h"

namespace {

QString Quoted(const std::string& port) {
  return QStringLiteral("'%1'").arg(QString::fromStdString(port));
}

}  // namespace

CBenchWindow::CBenchWindow(EngineConnection connection, const std::string& port, QWidget* owner)
    : QDialog(owner), port_(port) {
  setWindowTitle(QStringLiteral("Bench %1 - SKAV Server").arg(Quoted(port)));
  setAttribute(Qt::WA_DeleteOnClose);
  engine_ = new EngineLink(std::move(connection), this);

  status_ = new QLabel(QStringLiteral("Attaching..."), this);
  status_->setObjectName(QString::number(kStatus));
  panel_ = new StatusTextEdit(this);
  panel_->setObjectName(QString::number(kPanel));
  panel_->setReadOnly(true);
  panelView_ = new StatusPanelView(panel_, this);
  // The main window's Debug Window: text taken in batches, so that a
  // crowd's lines never hold up the panel or a click.
  debugDlg_ = new CDebugDialog(this);
  debugDlg_->setWindowTitle(QStringLiteral("Debug Window - Bench %1").arg(Quoted(port)));
  progressDlg_ = new CProgressDialog(this);

  const auto button = [this](const char* text, int id) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    b->setObjectName(QString::number(id));
    b->setAutoDefault(false);
    return b;
  };
  clear_ = button("Clear", kClear);
  retry_ = button("Retry Failed", kRetryFailed);
  stopStart_ = button("Stop...", kStopStart);
  QPushButton* reload = button("Reload Settings...", kReload);
  QPushButton* progress = button("Transfer Progress", kProgress);
  QPushButton* debug = button("Debug Window", kDebug);

  auto* sortGroup = new QButtonGroup(this);
  auto* sortRow = new QHBoxLayout;
  for (const auto& [key, text] : {std::pair{kSortMacUp, "MAC(up)"},
                                  std::pair{kSortMacDown, "MAC(down)"},
                                  std::pair{kSortStatus, "Status"}}) {
    auto* b = new QRadioButton(QString::fromLatin1(text), this);
    b->setObjectName(QString::number(key));
    sortGroup->addButton(b, key);
    sortRow->addWidget(b);
  }
  sortRow->addStretch();
  sortRow->addWidget(clear_);
  sortRow->addWidget(retry_);

  auto* runRow = new QHBoxLayout;
  runRow->addWidget(status_, 1);
  runRow->addWidget(progress);
  runRow->addWidget(debug);
  runRow->addWidget(reload);
  runRow->addWidget(stopStart_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(runRow);
  layout->addWidget(panel_, 1);
  layout->addLayout(sortRow);

  connect(engine_, &EngineLink::GotText, this, [this](const remote::TextPiece& piece) {
    if (LogSink* sink = LogControl(&debugDlg_->logCtl))
      sink->AppendNoted(piece.text.data(), piece.text.size(), piece.note);
  });
  connect(engine_, &EngineLink::GotPanel, panelView_, &StatusPanelView::Apply);
  connect(engine_, &EngineLink::GotProgress, progressDlg_, &CProgressDialog::Take);
  connect(engine_, &EngineLink::GotState, this, [this, sortGroup](const remote::StateNews& s) {
    ShowState(s);
    if (QAbstractButton* b = sortGroup->button(s.sortKey)) b->setChecked(true);
  });
  connect(engine_, &EngineLink::GotError, this,
          [](const std::string& text) { ErrorBox("%s", text.c_str()); });
  connect(engine_, &EngineLink::Ended, this, [this](const std::string& reason) {
    status_->setText(QStringLiteral("Detached: %1").arg(QString::fromStdString(reason)));
    for (QPushButton* b : findChildren<QPushButton*>()) b->setEnabled(false);
  });

  connect(sortGroup, &QButtonGroup::idClicked, this,
          [this](int key) { Act(engine_->Client().Sort(static_cast<uint16_t>(key))); });
  connect(clear_, &QPushButton::clicked, this, [this] { Act(engine_->Client().Clear()); });
  connect(retry_, &QPushButton::clicked, this, [this] { Act(engine_->Client().RetryFailed()); });
  connect(stopStart_, &QPushButton::clicked, this, &CBenchWindow::OnStopStart);
  connect(reload, &QPushButton::clicked, this, &CBenchWindow::OnReload);
  connect(progress, &QPushButton::clicked, progressDlg_, &CProgressDialog::Create);
  connect(debug, &QPushButton::clicked, debugDlg_, &CDebugDialog::Create);

  engine_->Client().Want(remote::kWantAll);
  resize(720, 480);
  // Lines from the moment of attaching.
  debugDlg_->Create();
}

CBenchWindow::~CBenchWindow() = default;

void CBenchWindow::ShowState(const remote::StateNews& state) {
  const bool running = state.state == remote::RunState::kRunning ||
                       state.state == remote::RunState::kNoLink;
  const bool stopped = state.state == remote::RunState::kStopped;
  status_->setText(QStringLiteral("Bench %1: %2; %3 devices, %4 Error, %5 Done, %6 Reworking")
                       .arg(Quoted(port_), QString::fromStdString(remote::RunStateText(state)))
                       .arg(state.total)
                       .arg(state.errorCount)
                       .arg(state.doneCount)
                       .arg(state.reworkingCount));
  stopStart_->setText(stopped ? QStringLiteral("Start...") : QStringLiteral("Stop..."));
  clear_->setEnabled(running);
  retry_->setEnabled(running);
}

void CBenchWindow::Act(uint32_t seq) {
  std::string why;
  if (!engine_->AwaitReply(seq, &why) && !engine_->Over())
    ErrorBox("The bench on '%s' refused: %s", port_.c_str(), why.c_str());
}

bool CBenchWindow::Supervise(const QString& question,
                             uint32_t (*send)(remote::EngineClient&, const std::string&)) {
  if (QMessageBox::question(this, QStringLiteral("SKAV Server"), question,
                            QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) != QMessageBox::Yes) {
    return false;
  }
  CPasswdDialog password(this);
  if (password.exec() != QDialog::Accepted) return false;
  Act(send(engine_->Client(), password.password));
  return true;
}

void CBenchWindow::OnStopStart() {
  const remote::StateNews& s = engine_->State();
  if (s.state == remote::RunState::kStopped) {
    Supervise(QStringLiteral("Start the bench on %1 from its settings file?").arg(Quoted(port_)),
              [](remote::EngineClient& c, const std::string& p) { return c.StartStored(p); });
    return;
  }
  Supervise(QStringLiteral("Stop the bench on %1? %2 devices are being served; each is cut off "
                           "with its outcome written, and the bench's service stays up until "
                           "a supervisor starts it again.")
                .arg(Quoted(port_))
                .arg(s.reworkingCount),
            [](remote::EngineClient& c, const std::string& p) { return c.Stop(p); });
}

void CBenchWindow::OnReload() {
  Supervise(QStringLiteral("Reload the settings file of the bench on %1? When its settings "
                           "load, the run stops (%2 devices being served are cut off with "
                           "their outcome written) and starts again from them; settings that "
                           "cannot be loaded are refused and the run goes on.")
                .arg(Quoted(port_))
                .arg(engine_->State().reworkingCount),
            [](remote::EngineClient& c, const std::string& p) { return c.Reload(p); });
}
