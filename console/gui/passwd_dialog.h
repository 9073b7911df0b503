// The supervisor's password prompt.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

/// "Password": one masked entry and OK; Escape or the close box cancel it.
class CPasswdDialog : public QDialog {
  Q_OBJECT

 public:
  /// Control ids of the window.
  enum Id : int { kEntry = 1029 };
  /// Longest password, in characters.
  static constexpr int kMaxPassword = 32;

  explicit CPasswdDialog(QWidget* owner);

  /// Runs the dialog modally, each time with an empty entry.
  int exec() override;

  QLineEdit* Entry() const { return entry_; }
  QPushButton* OkButton() const { return ok_; }

  /// The entry accepted by the last OK (at most 32 characters).
  std::string password;

 private:
  void OnInitDialog();
  void OnOK();

  QLineEdit* entry_ = nullptr;
  QPushButton* ok_ = nullptr;
};
