// The operator's window: the configuration, Start and Stop, the Device
// Status panel, supervisor mode, the Debug Window, the log file and the
// device record.
#pragma once

#include <QDialog>
#include <QFont>
#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "console/gui/debug_dialog.h"
#include "console/gui/engine_link.h"
#include "console/gui/progress_dialog.h"
#include "console/gui/status_view.h"
#include "console/settings/settings_controls.h"
#include "console/settings/stored_config.h"
#include "link/if_list.h"
#include "remote/messages.h"
#include "report/image_facts.h"

class CChangePasswdDlg;
class CPasswdDialog;
class QAction;
class QButtonGroup;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;
class QTimer;

/// Control ids of the main window; the sort buttons' ids are the values of
/// the panel's sortKey.
enum ServerDlgId : int {
  IDC_INTERFACE = 1001,
  IDC_START_STOP = 1004,
  IDC_SERVER_STATUS = 1005,
  IDC_FIRMWARE = 1007,
  IDC_FIRMWARE_BROWSE = 1008,
  IDC_ST1_BROWSE = 1009,
  IDC_ST2_BROWSE = 1011,
  IDC_ST3_BROWSE = 1013,
  IDC_STATUS_TEXT = 1014,
  IDC_ST4_BROWSE = 1015,
  IDC_ST5_BROWSE = 1016,
  IDC_ST6_BROWSE = 1017,
  IDC_SORT_MAC_DOWN = 1020,
  IDC_SORT_MAC_UP = 1021,
  IDC_SORT_STATUS = 1022,
  IDC_CLEAR_STATUS = 1023,
  IDC_LOG_ENABLE = 1024,
  IDC_LOG_PATH = 1025,
  IDC_LOG_OPEN = 1026,
  IDC_INDICATOR = 1027,
  IDC_SUPERVISOR = 1028,
  IDC_ST1 = 1029,
  IDC_ST3 = 1031,
  IDC_ST2 = 1032,
  IDC_ST4 = 1033,
  IDC_ST5 = 1034,
  IDC_ST6 = 1035,
  IDC_REGION = 1038,
  IDC_RETRY_FAILED = 1040,  ///< beside Clear: serves the failed boards again
  IDC_RECORD_PATH = 1041,   ///< the device record's path, read-only
};

/// What the window takes from outside; tests put fakes in.
struct ServerDlgOptions {
  /// Lists the capture interfaces when the window opens.
  std::function<int(L2_IfList*)> listInterfaces = L2_ListIf;
  /// Starts the engine that serves the window's runs, once, as the window
  /// is made.
  std::function<EngineConnection(std::string* why)> connectEngine = StartOwnEngine;
  /// INI file of the settings; empty: the machine-wide settings.
  std::string settingsFile;
  /// A line the Debug Window starts with each time it opens (it opens
  /// empty); empty for none.
  std::string debugNote;
};

/// The main window. Its controls are the configuration: the settings store
/// reads into them and writes from them. Its runs are served by an engine
/// of its own, which holds the network capabilities; the window holds none.
class CServerDlg : public QDialog, public SettingsControls {
  Q_OBJECT

 public:
  /// How to pick a file in BrowseForFile.
  enum class BrowseFlags {
    kExistingFile,  ///< the file and its folder must exist
    kCreatePrompt,  ///< a missing file may be named, after a confirmation
  };

  explicit CServerDlg(ServerDlgOptions options = {}, QWidget* parent = nullptr);
  /// Ends the engine: a run still going is stopped with every outcome
  /// written, and the log file closed.
  ~CServerDlg() override;

  /// Fills and restores the controls: interfaces, regions, settings,
  /// operator mode, the panel's order and font. Shows the window.
  bool OnInitDialog();

  /// The Start/Stop button.
  void OnStartStop();
  /// Asks the engine to stop the run and waits, dispatching events, until
  /// it has: every outcome written, the images freed, the interface
  /// closed. Virtual so that tests can watch the order of OnClose.
  virtual void StopServer();
  /// Lets the operator pick a file for the text field `fieldId`. 1 when a
  /// file was chosen (the field then holds its path), 0 when cancelled.
  int BrowseForFile(int fieldId, const QString& title, const QString& filter,
                    BrowseFlags flags);
  /// The close request: saves every setting, stops, ends the engine (which
  /// closes the log file).
  void OnClose();
  /// A session's end (SIGTERM, SIGINT or SIGHUP: a logout, a shutdown, a
  /// kill) closes the window as its close button does, without a question:
  /// settings saved, the run stopped with every outcome written, the log
  /// file closed.
  void EndOnSessionSignals();

  /// The supervisor button: logs in (after the password) or out.
  void OnSupervisorLogin();
  void EnterSupervisorMode();
  void LeaveSupervisorMode();
  /// "Advanced" / "Change Password...".
  void OnChangePassword();

  /// The "Enable Log:" box was clicked.
  void OnEnableLog();
  /// "Open...": picks the log file and opens it.
  void OnOpenLog();
  /// "Advanced" / "Debug Window".
  void OnDebugWindow();
  /// "Advanced" / "Device Record..." (supervisor mode only): the record
  /// file; a new one takes effect at once while the server runs, as a new
  /// log file does, else at the next Start.
  void OnDeviceRecord();
  /// "Advanced" / "Transfer Progress": opens the window, or closes it when
  /// `open` is false.
  void OnProgressWindow(bool open);
  /// "Attach to a Bench...": lists the bench services of this PC and opens
  /// a window on the one chosen.
  void OnAttachBench();

  /// A sort button: leaves the request and wakes the server loop.
  void OnSortButton(int id);
  /// "Clear": asks for the Done devices to go, and wakes the server loop.
  void OnClearStatus();
  /// "Retry Failed": asks for the failed devices whose outcome is written
  /// to go, so that each is served again when it asks; wakes the loop.
  void OnRetryFailed();

  /// The About box.
  void OnAbout();

  // SettingsControls: the configuration held by the controls.
  int InterfaceCount() const override;
  std::string InterfaceDescription(int index) const override;
  int InterfaceSelection() const override;
  void SelectInterfaceItem(int item) override;
  bool SelectRegionByName(const char* prefix) override;
  int32_t SelectedRegionCode() const override;
  std::string FirmwarePath() const override;
  void SetFirmwarePath(const std::string& path) override;
  std::string StringTablePath(int table) const override;
  void SetStringTablePath(int table, const std::string& path) override;
  bool LogEnabled() const override;
  void SetLogEnabled(bool enabled) override;
  std::string LogPath() const override;
  void SetLogPath(const std::string& path) override;
  std::string RecordPath() const override { return recordPath_; }
  void SetRecordPath(const std::string& path) override;
  std::string SupervisorPassword() const override { return supervisorPassword; }
  void SetSupervisorPassword(const std::string& password) override;
  /// Has the engine open the log file named by the log path field,
  /// replacing the open one; true when a log file is open afterwards.
  bool OpenLogFile() override;

  /// The control with the given id, nullptr for an unknown id.
  QWidget* Control(int id) const;
  QAction* DebugWindowAction() const { return debugWindowAction_; }
  QAction* ProgressWindowAction() const { return progressWindowAction_; }
  QAction* ChangePasswordAction() const { return changePasswordAction_; }
  QAction* AboutAction() const { return aboutAction_; }
  QAction* DeviceRecordAction() const { return deviceRecordAction_; }
  CDebugDialog& DebugWindow() const { return *debugDlg_; }
  CProgressDialog& ProgressWindow() const { return *progressDlg_; }
  CPasswdDialog& PasswordDialog() const { return *passwdDlg_; }
  CChangePasswdDlg& ChangePasswordDialog() const { return *changeDlg_; }
  StatusPanelView& StatusView() const { return *statusView_; }
  bool SupervisorMode() const { return supervisorMode != 0; }
  /// The run serves its port (with or without a link on it).
  bool Running() const;
  /// The run as the engine last told it: its state and the panel's counts.
  const remote::StateNews& RunState() const { return state_; }
  /// True while StopServer waits for the engine's stop.
  bool Stopping() const { return stopping_; }
  /// The engine's process; 0 when it runs in this one or not at all.
  pid_t EnginePid() const { return engine_ != nullptr ? engine_->Client().enginePid() : 0; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  /// Routes every way of ending the dialog through the close request.
  void reject() override;

 private:
  void BuildControls();
  template <typename W>
  W* Register(int id, W* widget);
  void OnBlinkTimer();
  /// Connects the engine's news to the window.
  void FollowEngine();
  /// The status text, the indicator and the buttons as the run's state is.
  void ShowState(const remote::StateNews& state);
  void ShowStopped();
  /// A run that a lost port stopped waits for that port by name: the
  /// status says so, the button ends the wait.
  void ShowWaiting(const std::string& port);
  /// The status and the indicator of a running server with or without a
  /// link on its port.
  void ShowLink(bool linked, const std::string& port);
  static QPixmap IndicatorPixmap(bool linked);
  /// The port's news: a notice while it is gone.
  void OnPortNews(const remote::PortNewsMsg& news);
  /// The engine's Debug Window text, into the Debug Window.
  void OnEngineText(const remote::TextPiece& piece);
  /// Which news the engine sends: text only while the Debug Window is open.
  void WantNews();
  /// Shows how to begin while nothing is configured, in operator mode.
  void ShowSetupHint();
  /// After a Start: each image path field's tooltip names what was loaded
  /// from it (name, file, size, SHA-256); a field edited since says nothing.
  void ShowImageFingerprints();
  /// A Start: the configuration the run serves, against which a change
  /// made while it runs is told and marked (see NoteChangesWhileRunning).
  void MarkChangesAtStart();
  /// The interface, the region or an image changed while the server runs:
  /// the run goes on with what it loaded, so one line in the Debug Window
  /// and the log file says who changed what and that it applies at the
  /// next Start, and the changed fields stay marked until then.
  void NoteChangesWhileRunning();
  /// The control that shows the value of a SaveSettings mask bit.
  QWidget* FieldOf(uint32_t bit) const;
  /// Asks the engine to start a run with what the controls hold; true
  /// once it serves.
  bool StartServer();
  /// What a Start sends: the controls' configuration.
  remote::StartOrder OrderOfControls() const;
  /// The engine's reply to `seq`, waited for; false when it refused.
  bool Ask(uint32_t seq);
  /// Before a stop or a close the operator asked for: true to go on. With
  /// devices in mid-exchange it asks first ("N devices are being served. "
  /// and `one` or `many`), defaulting to not going on.
  bool ConfirmWhileServing(const QString& one, const QString& many);
  /// The SaveSettings mask of the values to write at close: those this
  /// window changed; where the file changed the same value meanwhile (a
  /// supervisor's other window, a hand edit), only when the operator says
  /// so, told what changed on disk and what would be written.
  uint32_t ChangesToSave();
  /// At a stop: the outcome lines the files did not take, in full.
  void ShowUnwrittenOutcomes(const std::string& lost);
  /// Ends the engine, waiting for it as a stop is waited for.
  void EndEngine();

  ServerDlgOptions options_;
  L2_IfList ifList_;
  /// The engine; nullptr when it could not be started (`engineWhy_`).
  EngineLink* engine_ = nullptr;
  std::string engineWhy_;
  /// The images of the last Start, for the fields' tooltips.
  ImageFacts imageFacts_[kImageCount];
  /// The run's state as the engine told it, and as a Start's reply says.
  remote::StateNews state_;

  std::map<int, QWidget*> controls_;
  QMenuBar* menuBar_ = nullptr;
  QAction* changePasswordAction_ = nullptr;
  QAction* debugWindowAction_ = nullptr;
  QAction* progressWindowAction_ = nullptr;
  QAction* attachBenchAction_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QAction* deviceRecordAction_ = nullptr;
  QComboBox* interfaceList_ = nullptr;
  QComboBox* regionList_ = nullptr;
  QLineEdit* firmwarePath_ = nullptr;
  QLineEdit* tablePaths_[6] = {};
  QCheckBox* logEnable_ = nullptr;
  QLineEdit* logPath_ = nullptr;
  QPushButton* logOpen_ = nullptr;
  QButtonGroup* sortButtons_ = nullptr;
  QPushButton* clearStatus_ = nullptr;
  QPushButton* retryFailed_ = nullptr;
  StatusTextEdit* statusCtl_ = nullptr;
  StatusPanelView* statusView_ = nullptr;
  QPushButton* startStop_ = nullptr;
  QLabel* serverStatus_ = nullptr;
  QLineEdit* recordPathField_ = nullptr;
  QLabel* setupHint_ = nullptr;
  QPushButton* supervisorButton_ = nullptr;

  CDebugDialog* debugDlg_ = nullptr;
  CProgressDialog* progressDlg_ = nullptr;
  CPasswdDialog* passwdDlg_ = nullptr;
  CChangePasswdDlg* changeDlg_ = nullptr;

  QFont statusFont;
  /// The 9x9 green square beside the server status, blinking while running.
  QLabel* indicator = nullptr;
  QTimer* blinkTimer_ = nullptr;
  /// The notice of a port that went, while it is up.
  QPointer<QMessageBox> portNotice_;
  int supervisorMode = 0;
  std::string supervisorPassword;
  /// The device record's path as the settings keep it; opened at Start.
  std::string recordPath_;
  /// The configuration as this window showed it when it loaded, and as
  /// the file held it then: what each side changed since.
  StoredConfig windowLoaded_;
  StoredConfig diskLoaded_;
  /// The configuration the running server was started with, and the
  /// changes made since that have been told.
  StoredConfig runConfig_;
  uint32_t toldChanges_ = 0;
  QTimer* changeTimer_ = nullptr;  // a burst of edits is told once

  bool stopping_ = false;
  bool noLink_ = false;  // the running port has no link
  bool closed_ = false;
  bool closeAfterStop_ = false;
  bool endingSession_ = false;  // closing on SIGTERM, SIGINT or SIGHUP
  bool sessionSignals_ = false;  // EndOnSessionSignals installed the handler
  void ForgetSessionSignals();
  /// A session is ending: nobody will answer a box. The boxes that are up
  /// go, and every message from now on goes to standard error instead.
  void EndSession();
  /// Where ErrorBox goes while the session ends, and the sink it replaced.
  std::unique_ptr<ErrorSink> sessionSink_;
  ErrorSink* sinkBeforeSession_ = nullptr;
};
