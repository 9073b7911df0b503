// The dialog that changes the supervisor password.
#include "console/gui/change_passwd_dlg.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "report/debug_print.h"
#include "console/gui/password_entry.h"

CChangePasswdDlg::CChangePasswdDlg(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Change Password"));
  old_ = NewPasswordEntry(this);
  new_ = NewPasswordEntry(this);
  confirm_ = NewPasswordEntry(this);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setDefault(true);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Old Password:"), old_);
  form->addRow(QStringLiteral("New Password:"), new_);
  form->addRow(QStringLiteral("Confirm New Password:"), confirm_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(ok_, &QPushButton::clicked, this, &CChangePasswdDlg::OnOK);
}

int CChangePasswdDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CChangePasswdDlg::OnInitDialog() {
  for (QLineEdit* entry : {old_, new_, confirm_}) {
    entry->clear();
    entry->setMaxLength(kMaxPassword);
  }
  old_->setFocus();
}

void CChangePasswdDlg::OnOK() {
  const std::string oldText = old_->text().left(kMaxPassword).toStdString();
  if (oldText != password) {
    ErrorBox("Invalid Old Password");
    return;
  }
  const QString newText = new_->text().left(kMaxPassword);
  const QString confirmText = confirm_->text().left(kMaxPassword);
  if (newText != confirmText) {
    ErrorBox("The passwords you typed do not match. Type the new password in both text boxes.");
    return;
  }
  password = confirmText.toStdString();
  accept();
}
