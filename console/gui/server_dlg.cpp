// The main window: its controls from top to bottom, what it does when it
// opens, and the configuration the settings store reads and writes.
#include "console/gui/server_dlg.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFontInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>

#include "console/gui/app_icon.h"
#include "console/gui/change_passwd_dlg.h"
#include "console/gui/passwd_dialog.h"
#include "console/settings/settings_store.h"
#include "protocol/region.h"

#ifndef SKAV_VERSION
#define SKAV_VERSION "0"
#endif

namespace {

// The string-table fields and their buttons, table 1 first.
// A path field's tooltip names the image loaded from it at the last Start;
// once the path changes it would name another file's content.
void ForgetFingerprintOnEdit(QLineEdit* field) {
  QObject::connect(field, &QLineEdit::textChanged, field, [field] { field->setToolTip({}); });
}

constexpr int kTableFields[6] = {IDC_ST1, IDC_ST2, IDC_ST3, IDC_ST4, IDC_ST5, IDC_ST6};
constexpr int kTableButtons[6] = {IDC_ST1_BROWSE, IDC_ST2_BROWSE, IDC_ST3_BROWSE,
                                  IDC_ST4_BROWSE, IDC_ST5_BROWSE, IDC_ST6_BROWSE};

constexpr int kMaxPath = 260;

QLabel* PlainLabel(const QString& text, QWidget* parent) {
  // Plain text keeps the two blanks of "String Table  1".
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QPushButton* Button(const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  // Enter in a field must not press some button of the window.
  button->setAutoDefault(false);
  return button;
}

}  // namespace

// Green while the run serves, red while its port has no link.
QPixmap CServerDlg::IndicatorPixmap(bool linked) {
  QPixmap square(9, 9);
  square.fill(linked ? QColor(0x00, 0xc0, 0x00) : QColor(0xd0, 0x20, 0x20));
  return square;
}

template <typename W>
W* CServerDlg::Register(int id, W* widget) {
  controls_[id] = widget;
  widget->setObjectName(QStringLiteral("ctl%1").arg(id));
  return widget;
}

CServerDlg::CServerDlg(ServerDlgOptions options, QWidget* parent)
    : QDialog(parent), options_(std::move(options)) {
  setWindowTitle(QStringLiteral("SKAV Server"));
  setWindowIcon(ServerIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  BuildControls();

  debugDlg_ = new CDebugDialog(this);
  progressDlg_ = new CProgressDialog(this);
  passwdDlg_ = new CPasswdDialog(this);
  changeDlg_ = new CChangePasswdDlg(this);

  blinkTimer_ = new QTimer(this);
  blinkTimer_->setInterval(1000);
  connect(blinkTimer_, &QTimer::timeout, this, &CServerDlg::OnBlinkTimer);

  // Edits come a keystroke at a time: told once they have settled.
  changeTimer_ = new QTimer(this);
  changeTimer_->setSingleShot(true);
  changeTimer_->setInterval(1500);
  connect(changeTimer_, &QTimer::timeout, this, &CServerDlg::NoteChangesWhileRunning);
  const auto edited = [this] {
    if (Running()) changeTimer_->start();
  };
  connect(interfaceList_, &QComboBox::currentIndexChanged, this, edited);
  connect(regionList_, &QComboBox::currentIndexChanged, this, edited);
  for (QLineEdit* field : {firmwarePath_, tablePaths_[0], tablePaths_[1], tablePaths_[2],
                           tablePaths_[3], tablePaths_[4], tablePaths_[5]})
    connect(field, &QLineEdit::textChanged, this, edited);

  connect(debugDlg_, &CDebugDialog::Closed, this, [this] {
    debugWindowAction_->setChecked(false);
    debugWindowAction_->setEnabled(true);
    WantNews();
  });
  connect(progressDlg_, &CProgressDialog::Closed, this,
          [this] { progressWindowAction_->setChecked(false); });
  statusView_ = new StatusPanelView(statusCtl_, this);

  EngineConnection connection = options_.connectEngine(&engineWhy_);
  if (connection.client != nullptr) {
    engine_ = new EngineLink(std::move(connection), this);
    FollowEngine();
    WantNews();
  } else {
    // Said at Start, which needs it; the settings are the window's alone.
    std::fprintf(stderr, "skav-server: unable to start the engine that serves the devices: %s\n",
                 engineWhy_.c_str());
  }
}

CServerDlg::~CServerDlg() {
  ForgetSessionSignals();
  if (Running()) StopServer();
  EndEngine();
  // The session's sink goes with the window.
  if (sessionSink_ != nullptr) SetErrorSink(sinkBeforeSession_);
}

void CServerDlg::BuildControls() {
  menuBar_ = new QMenuBar(this);
  QMenu* advanced = menuBar_->addMenu(QStringLiteral("Advanced"));
  changePasswordAction_ = advanced->addAction(QStringLiteral("Change Password..."));
  debugWindowAction_ = advanced->addAction(QStringLiteral("Debug Window"));
  debugWindowAction_->setCheckable(true);
  progressWindowAction_ = advanced->addAction(QStringLiteral("Transfer Progress"));
  progressWindowAction_->setCheckable(true);
  QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
  aboutAction_ = help->addAction(QStringLiteral("&About SKAV-Server..."));
  connect(changePasswordAction_, &QAction::triggered, this, &CServerDlg::OnChangePassword);
  connect(debugWindowAction_, &QAction::triggered, this, &CServerDlg::OnDebugWindow);
  connect(progressWindowAction_, &QAction::triggered, this, &CServerDlg::OnProgressWindow);
  attachBenchAction_ = advanced->addAction(QStringLiteral("Attach to a Bench..."));
  connect(attachBenchAction_, &QAction::triggered, this, &CServerDlg::OnAttachBench);
  connect(aboutAction_, &QAction::triggered, this, &CServerDlg::OnAbout);
  // Configuration: enabled in supervisor mode only (EnterSupervisorMode).
  deviceRecordAction_ = advanced->addAction(QStringLiteral("Device Record..."));
  deviceRecordAction_->setEnabled(false);
  connect(deviceRecordAction_, &QAction::triggered, this, &CServerDlg::OnDeviceRecord);

  auto* config = new QGridLayout;
  config->setColumnStretch(1, 1);
  int row = 0;

  interfaceList_ = Register(IDC_INTERFACE, new QComboBox(this));
  interfaceList_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  interfaceList_->setMinimumContentsLength(24);
  auto* interfaceLabel = PlainLabel(QStringLiteral("Network Interface:"), this);
  interfaceLabel->setBuddy(interfaceList_);
  config->addWidget(interfaceLabel, row, 0);
  config->addWidget(interfaceList_, row, 1, 1, 2);
  ++row;

  regionList_ = Register(IDC_REGION, new QComboBox(this));
  auto* regionLabel = PlainLabel(QStringLiteral("Region/SKU:"), this);
  regionLabel->setBuddy(regionList_);
  auto* regionRow = new QHBoxLayout;
  regionRow->addWidget(regionList_);
  regionRow->addStretch(1);
  config->addWidget(regionLabel, row, 0);
  config->addLayout(regionRow, row, 1, 1, 2);
  ++row;

  firmwarePath_ = Register(IDC_FIRMWARE, new QLineEdit(this));
  ForgetFingerprintOnEdit(firmwarePath_);
  auto* firmwareLabel = PlainLabel(QStringLiteral("Firmware File:"), this);
  firmwareLabel->setBuddy(firmwarePath_);
  auto* firmwareBrowse = Register(IDC_FIRMWARE_BROWSE, Button(QStringLiteral("Browse..."), this));
  config->addWidget(firmwareLabel, row, 0);
  config->addWidget(firmwarePath_, row, 1);
  config->addWidget(firmwareBrowse, row, 2);
  ++row;
  connect(firmwareBrowse, &QPushButton::clicked, this, [this] {
    BrowseForFile(IDC_FIRMWARE, QStringLiteral("Select the Firmware File"),
                  QStringLiteral("All (*)"), BrowseFlags::kExistingFile);
  });

  for (int k = 0; k < 6; ++k) {
    tablePaths_[k] = Register(kTableFields[k], new QLineEdit(this));
    ForgetFingerprintOnEdit(tablePaths_[k]);
    auto* label = PlainLabel(QStringLiteral("String Table  %1").arg(k + 1), this);
    label->setBuddy(tablePaths_[k]);
    auto* browse = Register(kTableButtons[k], Button(QStringLiteral("Browse..."), this));
    config->addWidget(label, row, 0);
    config->addWidget(tablePaths_[k], row, 1);
    config->addWidget(browse, row, 2);
    ++row;
    const int field = kTableFields[k];
    const QString title = QStringLiteral("Select the File of String Table %1")
                              .arg(k + 1, 2, 10, QLatin1Char('0'));
    connect(browse, &QPushButton::clicked, this, [this, field, title] {
      BrowseForFile(field, title, QStringLiteral("All (*)"), BrowseFlags::kExistingFile);
    });
  }

  logEnable_ = Register(IDC_LOG_ENABLE, new QCheckBox(QStringLiteral("Enable Log:"), this));
  logPath_ = Register(IDC_LOG_PATH, new QLineEdit(this));
  logPath_->setReadOnly(true);
  logOpen_ = Register(IDC_LOG_OPEN, Button(QStringLiteral("Open..."), this));
  config->addWidget(logEnable_, row, 0);
  config->addWidget(logPath_, row, 1);
  config->addWidget(logOpen_, row, 2);
  connect(logEnable_, &QCheckBox::clicked, this, &CServerDlg::OnEnableLog);
  connect(logOpen_, &QPushButton::clicked, this, &CServerDlg::OnOpenLog);
  ++row;

  // Set through "Advanced" / "Device Record..."; shown here so that the
  // operator sees where the line's record goes.
  recordPathField_ = Register(IDC_RECORD_PATH, new QLineEdit(this));
  // Changed only through the menu, in supervisor mode; it looks like the
  // locked fields above it.
  recordPathField_->setEnabled(false);
  recordPathField_->setPlaceholderText(QStringLiteral("(no device record)"));
  config->addWidget(PlainLabel(QStringLiteral("Device Record:"), this), row, 0);
  config->addWidget(recordPathField_, row, 1);
  ++row;

  setupHint_ = PlainLabel(
      QStringLiteral("Nothing is configured yet: a supervisor logs in with "
                     "\"Supervisor  Login...\" to choose the interface and the images."),
      this);
  setupHint_->setObjectName(QStringLiteral("setupHint"));
  setupHint_->setWordWrap(true);
  setupHint_->hide();
  for (QLineEdit* field : {firmwarePath_, tablePaths_[0], tablePaths_[1], tablePaths_[2],
                           tablePaths_[3], tablePaths_[4], tablePaths_[5]})
    connect(field, &QLineEdit::textChanged, this, &CServerDlg::ShowSetupHint);
  config->addWidget(setupHint_, row, 0, 1, 3);

  auto* group = new QGroupBox(QStringLiteral("Device Status"), this);
  auto* sortRow = new QHBoxLayout;
  sortRow->addWidget(PlainLabel(QStringLiteral("Sorted by:"), group));
  sortButtons_ = new QButtonGroup(this);
  sortButtons_->setExclusive(true);
  const std::pair<int, const char*> sorts[3] = {
      {IDC_SORT_MAC_UP, "MAC(up)"}, {IDC_SORT_MAC_DOWN, "MAC(down)"}, {IDC_SORT_STATUS, "Status"}};
  for (const auto& [id, text] : sorts) {
    auto* radio = Register(id, new QRadioButton(QString::fromLatin1(text), group));
    sortButtons_->addButton(radio, id);
    sortRow->addWidget(radio);
  }
  sortRow->addStretch(1);
  clearStatus_ = Register(IDC_CLEAR_STATUS, Button(QStringLiteral("Clear"), group));
  // Retrying is an operator's work, so it sits beside Clear and not in a
  // supervisor's menu; it follows Clear's enabled state.
  retryFailed_ = Register(IDC_RETRY_FAILED, Button(QStringLiteral("Retry Failed"), group));
  retryFailed_->setToolTip(QStringLiteral(
      "Forget the devices that failed, so that each is served again when it asks"));
  sortRow->addWidget(retryFailed_);
  sortRow->addWidget(clearStatus_);
  connect(sortButtons_, &QButtonGroup::idClicked, this, &CServerDlg::OnSortButton);
  connect(clearStatus_, &QPushButton::clicked, this, &CServerDlg::OnClearStatus);
  connect(retryFailed_, &QPushButton::clicked, this, &CServerDlg::OnRetryFailed);

  statusCtl_ = Register(IDC_STATUS_TEXT, new StatusTextEdit(group));
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addLayout(sortRow);
  groupLayout->addWidget(statusCtl_, 1);

  startStop_ = Register(IDC_START_STOP, Button(QStringLiteral("Start"), this));
  serverStatus_ = Register(IDC_SERVER_STATUS, PlainLabel(QStringLiteral("Server is stopped."), this));
  indicator = Register(IDC_INDICATOR, new QLabel(this));
  indicator->setPixmap(IndicatorPixmap(true));
  indicator->setFixedSize(9, 9);
  // Blinking must not make the row's layout move.
  QSizePolicy keepPlace = indicator->sizePolicy();
  keepPlace.setRetainSizeWhenHidden(true);
  indicator->setSizePolicy(keepPlace);
  indicator->hide();
  supervisorButton_ = Register(IDC_SUPERVISOR, Button(QStringLiteral("Supervisor Login..."), this));
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(startStop_);
  bottom->addSpacing(8);
  bottom->addWidget(serverStatus_);
  bottom->addSpacing(4);
  bottom->addWidget(indicator, 0, Qt::AlignVCenter);
  bottom->addStretch(1);
  bottom->addWidget(supervisorButton_);
  connect(startStop_, &QPushButton::clicked, this, &CServerDlg::OnStartStop);
  connect(supervisorButton_, &QPushButton::clicked, this, &CServerDlg::OnSupervisorLogin);

  // The status text keeps its room for "Server is running..." and
  // "Stopping..." so the indicator does not jump.
  serverStatus_->setMinimumWidth(
      serverStatus_->fontMetrics().horizontalAdvance(QStringLiteral("Server is running...")) + 2);

  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(menuBar_);
  layout->addLayout(config);
  layout->addWidget(group, 1);
  layout->addLayout(bottom);
}

bool CServerDlg::OnInitDialog() {
  // The About entry sits in the Help menu, built with the controls; the
  // icon was set at construction.
  adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
  show();

  if (options_.listInterfaces) options_.listInterfaces(&ifList_);
  ifList_.count = std::clamp(ifList_.count, 0, kMaxIfs);
  interfaceList_->clear();
  if (ifList_.count > 1) interfaceList_->addItem(QStringLiteral("Select one..."));
  for (int i = 0; i < ifList_.count; ++i) {
    interfaceList_->addItem(QString::fromStdString(InterfaceDescription(i)));
  }
  interfaceList_->setCurrentIndex(ifList_.count > 0 ? 0 : -1);

  firmwarePath_->setMaxLength(kMaxPath);

  regionList_->clear();
  regionList_->addItem(QStringLiteral("-No Change-"), 0);
  for (const RegionEntry* e = RegionTable; e->code != 0; ++e) {
    regionList_->addItem(QString::fromLatin1(e->name), e->code);
  }
  regionList_->setCurrentIndex(-1);

  if (!LoadSettings(*this, options_.settingsFile)) {
    ErrorBox("Fail to retrieve previous user configurations, use the default settings");
  }
  windowLoaded_ = ConfigOf(*this);
  diskLoaded_ = ReadStoredConfig(options_.settingsFile);

  LeaveSupervisorMode();

  // The engine's panel starts in this order too.
  sortButtons_->button(IDC_SORT_MAC_UP)->setChecked(true);
  clearStatus_->setEnabled(false);
  retryFailed_->setEnabled(false);

  statusFont = QFont(QStringLiteral("Courier New"));
  statusFont.setStyleHint(QFont::TypeWriter);
  statusFont.setFixedPitch(true);
  statusFont.setWeight(QFont::Normal);
  statusFont.setPixelSize(11);
  if (!QFontInfo(statusFont).fixedPitch()) {
    // The panel's columns need equal widths; take the system's fixed font.
    statusFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    statusFont.setPixelSize(11);
  }
  statusCtl_->setFont(statusFont);

  indicator->hide();

  // The progress window as the operator left it at the last close.
  const ProgressLayout layout = LoadProgressLayout(options_.settingsFile);
  progressDlg_->RestoreColumns(layout.columns);
  progressDlg_->RestoreGeometry(layout.geometry);
  if (layout.open) OnProgressWindow(true);
  return true;
}

void CServerDlg::OnAbout() {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("About SKAV-Server"),
                  QStringLiteral("SKAV Server, version %1").arg(QStringLiteral(SKAV_VERSION)),
                  QMessageBox::Ok, this);
  box.setIconPixmap(ServerIcon().pixmap(48, 48));
  box.setInformativeText(QStringLiteral(
      "Gives devices in their recovery loader an address and a region, and uploads "
      "their firmware and string tables."));
  box.exec();
}

QWidget* CServerDlg::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void CServerDlg::OnBlinkTimer() {
  // Without a link the mark stays lit, red: nothing is served meanwhile.
  indicator->setVisible(noLink_ || !indicator->isVisible());
}

// ---- The configuration, as the settings store sees it ----

int CServerDlg::InterfaceCount() const { return ifList_.count; }

std::string CServerDlg::InterfaceDescription(int index) const {
  if (index < 0 || index >= ifList_.count) return {};
  const char* text = ifList_.description[index];
  return std::string(text, strnlen(text, sizeof ifList_.description[index]));
}

int CServerDlg::InterfaceSelection() const { return interfaceList_->currentIndex(); }

void CServerDlg::SelectInterfaceItem(int item) {
  interfaceList_->setCurrentIndex(item >= 0 && item < interfaceList_->count() ? item : -1);
}

bool CServerDlg::SelectRegionByName(const char* prefix) {
  const QString wanted = QString::fromUtf8(prefix);
  for (int i = 0; i < regionList_->count(); ++i) {
    if (regionList_->itemText(i).startsWith(wanted, Qt::CaseInsensitive)) {
      regionList_->setCurrentIndex(i);
      return true;
    }
  }
  return false;
}

int32_t CServerDlg::SelectedRegionCode() const {
  const int item = regionList_->currentIndex();
  return item < 0 ? 0 : regionList_->itemData(item).toInt();
}

std::string CServerDlg::FirmwarePath() const { return firmwarePath_->text().toStdString(); }

void CServerDlg::SetFirmwarePath(const std::string& path) {
  firmwarePath_->setText(QString::fromStdString(path));
}

std::string CServerDlg::StringTablePath(int table) const {
  if (table < 1 || table > 6) return {};
  return tablePaths_[table - 1]->text().toStdString();
}

void CServerDlg::SetStringTablePath(int table, const std::string& path) {
  if (table >= 1 && table <= 6) tablePaths_[table - 1]->setText(QString::fromStdString(path));
}

bool CServerDlg::LogEnabled() const { return logEnable_->isChecked(); }

void CServerDlg::SetLogEnabled(bool enabled) { logEnable_->setChecked(enabled); }

std::string CServerDlg::LogPath() const { return logPath_->text().toStdString(); }

void CServerDlg::SetLogPath(const std::string& path) {
  logPath_->setText(QString::fromStdString(path));
  logPath_->setCursorPosition(static_cast<int>(logPath_->text().size()));
}

void CServerDlg::SetRecordPath(const std::string& path) {
  recordPath_ = path;
  recordPathField_->setText(QString::fromStdString(path));
}

void CServerDlg::SetSupervisorPassword(const std::string& password) {
  supervisorPassword = password.substr(0, 32);
}
