// Supervisor mode: the password login and logout that unlock the
// configuration controls, and the change of the password.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>

#include "console/gui/change_passwd_dlg.h"
#include "console/gui/passwd_dialog.h"
#include "console/gui/server_dlg.h"
#include "report/log_file.h"
#include "console/settings/settings_store.h"
#include "transfer/upload_images.h"

namespace {

// The configuration controls in the order the mode changes treat them.
constexpr int kGoverned[] = {
    IDC_INTERFACE, IDC_REGION, IDC_FIRMWARE, IDC_FIRMWARE_BROWSE, IDC_LOG_ENABLE,
    IDC_LOG_PATH,  IDC_LOG_OPEN, IDC_ST1,    IDC_ST1_BROWSE,      IDC_ST2,
    IDC_ST2_BROWSE, IDC_ST3,   IDC_ST3_BROWSE, IDC_ST4,          IDC_ST4_BROWSE,
    IDC_ST5,       IDC_ST5_BROWSE, IDC_ST6,  IDC_ST6_BROWSE,
};

// A locked field keeps its text as readable as an open one: the operator
// must see which images are set, only not change them. The Browse buttons
// stay grey, which says the configuration is locked.
void ReadableWhileLocked(QWidget* field) {
  if (qobject_cast<QPushButton*>(field) != nullptr) return;
  QPalette palette = field->palette();
  for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, palette.color(QPalette::Active, role));
  field->setPalette(palette);
}

}  // namespace

void CServerDlg::ShowSetupHint() {
  bool blank = IsBlankPath(FirmwarePath().c_str());
  for (int k = 1; k <= 6; ++k) blank = blank && IsBlankPath(StringTablePath(k).c_str());
  setupHint_->setVisible(supervisorMode == 0 && blank);
}

void CServerDlg::OnSupervisorLogin() {
  if (supervisorMode == 1) {
    LeaveSupervisorMode();
    if (engine_ != nullptr) engine_->Client().Banner(BANNER_SUPERVISOR_LOGOUT);
    return;
  }
  if (passwdDlg_->exec() != QDialog::Accepted) return;
  if (passwdDlg_->password == supervisorPassword) {
    EnterSupervisorMode();
    if (engine_ != nullptr) engine_->Client().Banner(BANNER_SUPERVISOR_LOGIN);
  } else {
    ErrorBox("Invalid Supervisor Password.");
  }
}

void CServerDlg::EnterSupervisorMode() {
  const bool logOn = logEnable_->isChecked();
  for (int id : kGoverned) {
    const bool followsLog = id == IDC_LOG_PATH || id == IDC_LOG_OPEN;
    Control(id)->setEnabled(followsLog ? logOn : true);
  }
  deviceRecordAction_->setEnabled(true);
  supervisorButton_->setText(QStringLiteral("Supervisor  Logout"));
  supervisorMode = 1;
  ShowSetupHint();
}

void CServerDlg::LeaveSupervisorMode() {
  for (int id : kGoverned) {
    Control(id)->setEnabled(false);
    ReadableWhileLocked(Control(id));
  }
  ReadableWhileLocked(recordPathField_);
  deviceRecordAction_->setEnabled(false);
  supervisorButton_->setText(QStringLiteral("Supervisor  Login..."));
  supervisorMode = 0;
  ShowSetupHint();
}

void CServerDlg::OnChangePassword() {
  changeDlg_->password = supervisorPassword;
  changeDlg_->exec();
  // Cancelled, or the new password is the old one: nothing to save.
  if (changeDlg_->password == supervisorPassword) return;
  supervisorPassword = changeDlg_->password;
  // The password alone is written into the file as it is now: what another
  // window saved there stays.
  const int saved = SaveSettings(*this, SETTING_PASSWORD, options_.settingsFile);
  if (saved == 1) {
    QMessageBox::information(this, QStringLiteral("Information"),
                             QStringLiteral("The new password has been saved."));
  } else {
    ErrorBox("Fail to save the new password.");
  }
}
