// The Debug Window: a modeless window with the running text of protocol
// events, opened from the menu and closed with its close box.
#pragma once

#include <QDialog>
#include <QString>

#include "report/debug_print.h"
#include "console/gui/debug_log_queue.h"

class QCloseEvent;
class QPlainTextEdit;
class QPushButton;
class QTimer;

/// The Debug Window. One object lives as long as the main window; the
/// window itself is opened and closed any number of times and starts empty
/// each time. Writers find it through `logCtl`.
class CDebugDialog : public QDialog {
  Q_OBJECT

 public:
  /// Control ids of the window.
  enum Id : int { kLogControl = 1009, kClearButton = 1010, kSaveButton = 1011 };

  /// How often queued text is moved into the log control.
  static constexpr int kDrainIntervalMs = 25;
  /// Lines kept in the log control; the oldest go first beyond this.
  static constexpr int kMaxLines = 100000;

  explicit CDebugDialog(QWidget* owner);
  ~CDebugDialog() override;

  /// Opens the window: empty log control, text accepted from now on.
  void Create();
  /// True while the window is open.
  bool IsOpen() const { return open_; }

  /// Moves the queued text into the log control now (the window's timer
  /// does this every kDrainIntervalMs).
  void Drain();

  /// Writes the text, with CR LF line ends, into `path`; false after an
  /// ErrorBox.
  bool SaveTo(const QString& path);

  QPlainTextEdit* LogCtl() const { return log_; }
  QPushButton* ClearButton() const { return clear_; }
  QPushButton* SaveButton() const { return save_; }

  /// The slot the server context's logSlot points to: the queue while the
  /// window is open, empty otherwise. The queue outlives every writer, so
  /// a writer that read the slot just before it was emptied is harmless.
  LogSlot logCtl{nullptr};

 signals:
  /// The window has been closed by the operator.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  /// Escape and the like close the window the same way as its close box.
  void reject() override;

 private:
  void OnInitDialog();
  void OnClose();
  void OnClear();
  /// "Save...": the text, with CR LF line ends as the log file has them,
  /// into a file the operator picks.
  void OnSave();
  void AppendAtEnd(const QString& text);
  /// Appends `text` with each run of one "[Error]" line shown once, its
  /// last line reading "(repeated N times)" when it came N times.
  void AppendFolded(const QString& text);
  /// Rewrites the last line of the log control as the run's line.
  void ShowRunCount();

  DebugLogQueue queue_;
  QPlainTextEdit* log_ = nullptr;
  QPushButton* clear_ = nullptr;
  QPushButton* save_ = nullptr;
  QTimer* drainTimer_ = nullptr;
  bool open_ = false;
  /// The "[Error]" line last appended (with its line feed), and how often
  /// it came in a row; empty when the last line is no such line.
  QString runLine_;
  int runCount_ = 0;
};

/// Converts dialog units of `widget`'s font to pixels, so that windows keep
/// the proportions they were designed with whatever the font.
QSize DialogUnitsToPixels(const QWidget* widget, int x, int y);
