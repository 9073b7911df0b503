// The log-file controls of the main window and the menu items of the
// Debug Window, the Transfer Progress window and the device record.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "console/gui/record_path_dlg.h"
#include "console/gui/server_dlg.h"
#include "report/log_file.h"
#include "report/debug_print.h"

bool CServerDlg::OpenLogFile() { return ::OpenLogFile(ctx_.logFile, LogPath()); }

void CServerDlg::OnEnableLog() {
  if (logEnable_->isChecked()) {
    logPath_->setEnabled(true);
    logOpen_->setEnabled(true);
    OpenLogFile();
  } else {
    logPath_->setEnabled(false);
    logOpen_->setEnabled(false);
    CloseLogFile(ctx_.logFile);
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
}

void CServerDlg::OnDeviceRecord() {
  CRecordPathDlg dialog(this);
  dialog.path = recordPath_;
  if (dialog.exec() != QDialog::Accepted || dialog.path == recordPath_) return;
  SetRecordPath(dialog.path);
  // Devices already written stay in the old file; the others go to the
  // new one, each once. An empty path ends the record.
  if (server_.Running()) OpenRecordFile(ctx_.recordFile, recordPath_);
}

void CServerDlg::OnProgressWindow(bool open) {
  progressWindowAction_->setChecked(open);
  if (open) {
    progressDlg_->Create();
  } else if (progressDlg_->IsOpen()) {
    progressDlg_->close();
  }
}
