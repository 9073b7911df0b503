// The supervisor's choice of the device record: the file that gets one JSON
// line per device served.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

/// "Device Record": the record file's path (empty: no record), "Browse..."
/// to pick a file that may not exist yet, OK and Cancel. OK keeps the
/// dialog open while the path is not a full path or is too long for the
/// settings; Cancel, Escape or the close box leave `path` as it was.
class CRecordPathDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CRecordPathDlg(QWidget* owner);

  /// Runs the dialog modally, the entry showing `path`.
  int exec() override;

  QLineEdit* Entry() const { return entry_; }
  QPushButton* BrowseButton() const { return browse_; }
  QPushButton* OkButton() const { return ok_; }

  /// Before the dialog opens, the current path; after OK, the chosen one.
  std::string path;

 private:
  void OnBrowse();
  void OnOK();

  QLineEdit* entry_ = nullptr;
  QPushButton* browse_ = nullptr;
  QPushButton* ok_ = nullptr;
};
