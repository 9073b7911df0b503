// The supervisor's password prompt.
#include "console/gui/passwd_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/gui/password_entry.h"

CPasswdDialog::CPasswdDialog(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Password"));
  auto* label = new QLabel(QStringLiteral("Enter Supervisor Password:"), this);
  entry_ = NewPasswordEntry(this);
  entry_->setMinimumWidth(label->sizeHint().width());
  label->setBuddy(entry_);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setDefault(true);

  auto* row = new QHBoxLayout;
  row->addWidget(entry_, 1);
  row->addWidget(ok_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addLayout(row);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(ok_, &QPushButton::clicked, this, &CPasswdDialog::OnOK);
}

int CPasswdDialog::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CPasswdDialog::OnInitDialog() {
  entry_->clear();
  entry_->setMaxLength(kMaxPassword);
  entry_->setFocus();
}

void CPasswdDialog::OnOK() {
  password = entry_->text().left(kMaxPassword).toStdString();
  accept();
}
