// A bench service of this PC, watched and driven from the operator's
// window: its Device Status panel, Transfer Progress and Debug Window lines
// live from the moment of attaching (with the run's state as it stands),
// Clear, sort and Retry Failed acting on it. Stop, Start and a reload of
// its settings are a supervisor's: each says what it will do and asks for
// the supervisor password. Closing the window detaches; the bench runs on.
#pragma once

#include <QDialog>
#include <string>

#include "console/gui/engine_link.h"

class CDebugDialog;
class CProgressDialog;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class StatusPanelView;

class CBenchWindow : public QDialog {
  Q_OBJECT

 public:
  /// Control ids; the sort buttons' are the panel's sort keys.
  enum Id : int {
    kStatus = 2001,
    kPanel = 2002,
    kClear = 2003,
    kRetryFailed = 2004,
    kStopStart = 2005,
    kReload = 2006,
    kProgress = 2007,
    kDebug = 2008,
  };

  /// Follows the bench of interface `port` over `connection`.
  CBenchWindow(EngineConnection connection, const std::string& port, QWidget* owner);
  ~CBenchWindow() override;

  EngineLink& Link() { return *engine_; }
  CProgressDialog* ProgressWindow() const { return progressDlg_; }

 private:
  void ShowState(const remote::StateNews& state);
  void OnStopStart();
  void OnReload();
  /// Says what `verb` will do, asks the supervisor password, sends it and
  /// shows a refusal. False when the operator said no.
  bool Supervise(const QString& question, uint32_t (*send)(remote::EngineClient&,
                                                           const std::string&));
  /// Sends a verb and shows its refusal, if any.
  void Act(uint32_t seq);

  std::string port_;
  EngineLink* engine_ = nullptr;
  QLabel* status_ = nullptr;
  QPlainTextEdit* panel_ = nullptr;
  StatusPanelView* panelView_ = nullptr;
  CDebugDialog* debugDlg_ = nullptr;
  QPushButton* clear_ = nullptr;
  QPushButton* retry_ = nullptr;
  QPushButton* stopStart_ = nullptr;
  CProgressDialog* progressDlg_ = nullptr;
};
