// What the window's engine tells, shown as the window showed its own run:
// the Debug Window's text, the panel, the progress rows, the run's state,
// the port's news, errors and the outcomes a stop could not write.
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "console/gui/bench_window.h"
#include "console/gui/server_dlg.h"
#include "remote/bench_socket.h"

void CServerDlg::FollowEngine() {
  connect(engine_, &EngineLink::GotText, this, &CServerDlg::OnEngineText);
  // The engine never waits for the box: it is shown while the engine goes on.
  connect(engine_, &EngineLink::GotError, this,
          [](const std::string& text) { ErrorBox("%s", text.c_str()); });
  // Applied as they come, batched by the engine: the panel is as the run
  // was when the state and the replies that follow the edits arrive.
  connect(engine_, &EngineLink::GotPanel, statusView_, &StatusPanelView::Apply);
  connect(engine_, &EngineLink::GotProgress, progressDlg_, &CProgressDialog::Take);
  connect(engine_, &EngineLink::GotState, this, [this](const remote::StateNews& state) {
    state_ = state;
    if (!stopping_) ShowState(state);
  });
  connect(engine_, &EngineLink::GotPortNews, this, &CServerDlg::OnPortNews);
  connect(engine_, &EngineLink::GotUnwritten, this, &CServerDlg::ShowUnwrittenOutcomes);
  connect(engine_, &EngineLink::GotImages, this, [this](const ImageFacts* images) {
    std::copy(images, images + kImageCount, imageFacts_);
  });
  connect(engine_, &EngineLink::Ended, this, [this](const std::string& reason) {
    if (closed_) return;
    state_ = remote::StateNews{};
    ShowStopped();
    ErrorBox("The engine that serves the devices has ended (%s); close the window and open it "
             "again to serve",
             reason.c_str());
  });
}

void CServerDlg::WantNews() {
  if (engine_ == nullptr) return;
  // The rows always: the summary counts every outcome of the run.
  uint8_t want = remote::kWantPanel | remote::kWantProgress;
  if (debugDlg_->IsOpen()) want |= remote::kWantText;
  engine_->Client().Want(want);
}

void CServerDlg::OnEngineText(const remote::TextPiece& piece) {
  if (LogSink* sink = LogControl(&debugDlg_->logCtl))
    sink->AppendNoted(piece.text.data(), piece.text.size(), piece.note);
}

bool CServerDlg::Running() const {
  return state_.state == remote::RunState::kRunning || state_.state == remote::RunState::kNoLink;
}

void CServerDlg::ShowState(const remote::StateNews& state) {
  switch (state.state) {
    case remote::RunState::kRunning:
    case remote::RunState::kNoLink:
      ShowLink(state.state == remote::RunState::kRunning, state.port);
      break;
    case remote::RunState::kStopping:
      serverStatus_->setText(QStringLiteral("Stopping..."));
      break;
    case remote::RunState::kWaitingForPort:
      ShowWaiting(state.port);
      break;
    case remote::RunState::kStopped:
      ShowStopped();
      break;
  }
}

void CServerDlg::ShowStopped() {
  startStop_->setText(QStringLiteral("Start"));
  serverStatus_->setText(QStringLiteral("Server is stopped."));
  clearStatus_->setEnabled(false);
  retryFailed_->setEnabled(false);
  blinkTimer_->stop();
  noLink_ = false;
  indicator->hide();
}

void CServerDlg::ShowWaiting(const std::string& port) {
  // The run goes on once its port is back: the button ends the wait.
  startStop_->setText(QStringLiteral("Stop"));
  serverStatus_->setText(QStringLiteral("Waiting for the network interface '%1'...")
                             .arg(QString::fromStdString(port)));
  clearStatus_->setEnabled(false);
  retryFailed_->setEnabled(false);
  blinkTimer_->stop();
  noLink_ = false;
  indicator->hide();
}

void CServerDlg::ShowLink(bool linked, const std::string& port) {
  startStop_->setText(QStringLiteral("Stop"));
  clearStatus_->setEnabled(true);
  retryFailed_->setEnabled(true);
  indicator->setPixmap(IndicatorPixmap(linked));
  if (!blinkTimer_->isActive()) {
    indicator->show();
    blinkTimer_->start();
  }
  if (linked) {
    serverStatus_->setText(QStringLiteral("Server is running..."));
  } else {
    indicator->show();
    serverStatus_->setText(
        QStringLiteral("No link on '%1'").arg(QString::fromStdString(port)));
  }
  noLink_ = !linked;
}

void CServerDlg::OnPortNews(const remote::PortNewsMsg& news) {
  if (news.news == PortNews::kBack && portNotice_ != nullptr) portNotice_->close();
  if (news.news != PortNews::kGone) return;
  // One notice, which waits for nobody and blocks nothing: the run stops
  // and starts again by itself while it is up, and a port that comes and
  // goes replaces its text instead of piling up boxes.
  QString sentence = QString::fromStdString(news.text);
  if (!sentence.isEmpty()) sentence[0] = sentence[0].toUpper();
  if (portNotice_ == nullptr) {
    portNotice_ = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"), QString(),
                                  QMessageBox::Ok, this);
    portNotice_->setAttribute(Qt::WA_DeleteOnClose);
    portNotice_->setWindowModality(Qt::NonModal);
  }
  portNotice_->setText(sentence + '.');
  portNotice_->show();
}

void CServerDlg::OnAttachBench() {
  std::vector<std::string> ports;
  std::string why;
  if (!remote::ListBenchSockets(&ports, &why)) {
    ErrorBox("Unable to list the bench servers of this PC (%s)", why.c_str());
    return;
  }
  // A socket nobody answers on was left by an engine that ended.
  QStringList live;
  for (const std::string& port : ports)
    if (remote::EngineClient::AttachBench(port, &why)) live << QString::fromStdString(port);
  if (live.isEmpty()) {
    QMessageBox::information(this, QStringLiteral("SKAV Server"),
                             QStringLiteral("No bench server runs on this PC."));
    return;
  }
  bool chosen = false;
  const QString port =
      QInputDialog::getItem(this, QStringLiteral("Attach to a Bench"),
                            QStringLiteral("Bench server on interface:"), live, 0, false, &chosen);
  if (!chosen) return;
  std::unique_ptr<remote::EngineClient> client =
      remote::EngineClient::AttachBench(port.toStdString(), &why);
  if (!client) {
    ErrorBox("Unable to attach to the bench on '%s' (%s)", qPrintable(port), why.c_str());
    return;
  }
  // Closing it detaches; the bench's engine is the service's, never ours.
  auto* bench = new CBenchWindow({std::move(client), [] { return true; }}, port.toStdString(), this);
  bench->show();
}
