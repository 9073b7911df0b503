// The dialog that changes the supervisor password.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

/// "Change Password": the old password, the new one twice, and OK. OK keeps
/// the dialog open while the old password is wrong or the two new entries
/// differ; Escape or the close box cancel it.
class CChangePasswdDlg : public QDialog {
  Q_OBJECT

 public:
  /// Control ids of the window.
  enum Id : int { kOldEntry = 1029, kNewEntry = 1030, kConfirmEntry = 1031 };
  static constexpr int kMaxPassword = 32;

  explicit CChangePasswdDlg(QWidget* owner);

  /// Runs the dialog modally, each time with empty entries.
  int exec() override;
  /// Empties the entries and puts the focus on "Old Password:" (exec does
  /// this itself).
  void OnInitDialog();

  QLineEdit* OldEntry() const { return old_; }
  QLineEdit* NewEntry() const { return new_; }
  QLineEdit* ConfirmEntry() const { return confirm_; }
  QPushButton* OkButton() const { return ok_; }

  /// Before the dialog opens, the current password; after a successful OK,
  /// the new one.
  std::string password;

 private:
  void OnOK();

  QLineEdit* old_ = nullptr;
  QLineEdit* new_ = nullptr;
  QLineEdit* confirm_ = nullptr;
  QPushButton* ok_ = nullptr;
};
