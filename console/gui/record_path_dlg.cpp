// The supervisor's choice of the device record file: a full path the
// settings keep whole, or nothing.
#include "console/gui/record_path_dlg.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "console/gui/path_limit.h"
#include "report/debug_print.h"

CRecordPathDlg::CRecordPathDlg(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Device Record"));
  auto* note = new QLabel(
      QStringLiteral("Each device served adds one JSON line to this file.\n"
                     "Leave it empty to keep no record."),
      this);
  auto* label = new QLabel(QStringLiteral("Record File:"), this);
  entry_ = new QLineEdit(this);
  entry_->setMinimumWidth(entry_->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
  label->setBuddy(entry_);
  browse_ = new QPushButton(QStringLiteral("Browse..."), this);
  // Enter in the entry is OK, not Browse.
  browse_->setAutoDefault(false);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);

  auto* layout = new QGridLayout(this);
  layout->addWidget(note, 0, 0, 1, 3);
  layout->addWidget(label, 1, 0);
  layout->addWidget(entry_, 1, 1);
  layout->addWidget(browse_, 1, 2);
  layout->addWidget(buttons, 2, 0, 1, 3);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(browse_, &QPushButton::clicked, this, &CRecordPathDlg::OnBrowse);
  connect(buttons, &QDialogButtonBox::accepted, this, &CRecordPathDlg::OnOK);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

int CRecordPathDlg::exec() {
  entry_->setText(QString::fromStdString(path));
  entry_->setFocus();
  return QDialog::exec();
}

void CRecordPathDlg::OnBrowse() {
  QFileDialog dialog(this, QStringLiteral("Select the Device Record File"), QString(),
                     QStringLiteral("JSON Lines (*.jsonl *.json);;All (*)"));
  // A file that does not exist yet is what a new record starts as; one
  // that exists is appended to, never written over.
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (!entry_->text().isEmpty()) dialog.selectFile(entry_->text());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  entry_->setText(dialog.selectedFiles().constFirst());
}

void CRecordPathDlg::OnOK() {
  const QString text = entry_->text();
  if (!text.isEmpty()) {
    // The window's working folder is wherever it was started from: a
    // relative path would put the record somewhere nobody looks.
    if (!QDir::isAbsolutePath(text)) {
      ErrorBox("The record file needs a full path, from '/': %s", text.toUtf8().constData());
      return;
    }
    if (!PathFitsSettings(text)) return;
  }
  path = text.toStdString();
  accept();
}
