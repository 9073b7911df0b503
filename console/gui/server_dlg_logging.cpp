// The log-file controls of the main window and the menu items of the
// Debug Window, the Transfer Progress window and the device record.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "console/gui/record_path_dlg.h"
#include "console/gui/server_dlg.h"
#include "report/debug_print.h"

bool CServerDlg::OpenLogFile() {
  return engine_ != nullptr && Ask(engine_->Client().LogFile(true, LogPath()));
}

void CServerDlg::OnEnableLog() {
  const bool enabled = logEnable_->isChecked();
  logPath_->setEnabled(enabled);
  logOpen_->setEnabled(enabled);
  if (enabled) {
    OpenLogFile();
  } else if (engine_ != nullptr) {
    Ask(engine_->Client().LogFile(false, LogPath()));
  }
}

void CServerDlg::OnOpenLog() {
  if (BrowseForFile(IDC_LOG_PATH, QStringLiteral("Open a Log File"), QStringLiteral("Text (*.txt)"),
                    BrowseFlags::kCreatePrompt)) {
    OpenLogFile();
  }
}

void CServerDlg::OnDebugWindow() {
  // The item is grayed while the window exists, so it only ever opens it.
  if (debugDlg_->IsOpen()) return;
  debugWindowAction_->setChecked(true);
  debugWindowAction_->setEnabled(false);
  debugDlg_->Create();
  if (!options_.debugNote.empty()) {
    DebugPrint(LogControl(&debugDlg_->logCtl), "%s", options_.debugNote.c_str());
  }
  WantNews();
}

void CServerDlg::OnDeviceRecord() {
  CRecordPathDlg dialog(this);
  dialog.path = recordPath_;
  if (dialog.exec() != QDialog::Accepted || dialog.path == recordPath_) return;
  SetRecordPath(dialog.path);
  // Devices already written stay in the old file; the others go to the
  // new one, each once. An empty path ends the record.
  if (engine_ != nullptr) Ask(engine_->Client().RecordFile(recordPath_));
}

void CServerDlg::OnProgressWindow(bool open) {
  progressWindowAction_->setChecked(open);
  if (open) {
    progressDlg_->Create();
  } else if (progressDlg_->IsOpen()) {
    progressDlg_->close();
  }
}
