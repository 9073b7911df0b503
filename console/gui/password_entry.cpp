// The masked entry shared by the two password dialogs.
#include "console/gui/password_entry.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

QLineEdit* NewPasswordEntry(QWidget* parent) {
  auto* entry = new QLineEdit(parent);
  entry->setEchoMode(QLineEdit::Password);
  entry->setMaxLength(32);
  entry->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[\\x20-\\x7e]{0,32}")), entry));
  return entry;
}
