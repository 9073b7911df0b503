// Supervisor mode: the password that unlocks the configuration controls,
// what login and logout enable and disable, and the change of the password.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>

#include "console/gui/change_passwd_dlg.h"
#include "console/gui/passwd_dialog.h"
#include "console/gui/server_dlg.h"
#include "console/settings/plain_controls.h"
#include "console/settings/settings_store.h"
#include "gui_support.h"

namespace {

using namespace gui_test;

// The configuration controls, in the order the mode changes treat them.
const int kGoverned[] = {IDC_INTERFACE, IDC_REGION,     IDC_FIRMWARE, IDC_FIRMWARE_BROWSE,
                         IDC_LOG_ENABLE, IDC_LOG_PATH,  IDC_LOG_OPEN, IDC_ST1,
                         IDC_ST1_BROWSE, IDC_ST2,       IDC_ST2_BROWSE, IDC_ST3,
                         IDC_ST3_BROWSE, IDC_ST4,       IDC_ST4_BROWSE, IDC_ST5,
                         IDC_ST5_BROWSE, IDC_ST6,       IDC_ST6_BROWSE};
// Never governed by the mode.
const int kAlwaysOn[] = {IDC_START_STOP, IDC_SORT_MAC_UP, IDC_SORT_MAC_DOWN, IDC_SORT_STATUS,
                         IDC_SUPERVISOR};

class Supervisor : public ::testing::Test {
 protected:
  Supervisor() {
    dlg_ = std::make_unique<CServerDlg>(FakeOptions(2, link_, settings_));
    dlg_->OnInitDialog();
  }

  // Clicks the supervisor button; a password dialog that opens is answered
  // with `typed` (nullptr: cancelled with Escape).
  void Login(const char* typed) {
    ModalHand hand([typed](QWidget* w) {
      auto* dialog = qobject_cast<CPasswdDialog*>(w);
      if (dialog == nullptr) return false;
      if (typed == nullptr) {
        QTest::keyClick(dialog->Entry(), Qt::Key_Escape);
      } else {
        QTest::keyClicks(dialog->Entry(), typed);
        dialog->OkButton()->click();
      }
      return true;
    });
    SupervisorButton()->click();
  }

  QPushButton* SupervisorButton() const {
    return qobject_cast<QPushButton*>(dlg_->Control(IDC_SUPERVISOR));
  }
  bool Enabled(int id) const { return dlg_->Control(id)->isEnabled(); }
  void ExpectOperatorMode() const {
    EXPECT_FALSE(dlg_->SupervisorMode());
    EXPECT_EQ(SupervisorButton()->text(), "Supervisor  Login...");
    for (int id : kGoverned) EXPECT_FALSE(Enabled(id)) << id;
    // Locked, the firmware's path reads as it does when open.
    const QPalette& fw = dlg_->Control(IDC_FIRMWARE)->palette();
    EXPECT_EQ(fw.color(QPalette::Disabled, QPalette::Text),
              fw.color(QPalette::Active, QPalette::Text));
    for (int id : kAlwaysOn) EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_FALSE(dlg_->DeviceRecordAction()->isEnabled());
  }

  TempDir dir_;
  const std::string settings_ = dir_.File("settings.ini");
  RecordingErrorSink errors_;
  FakeLink link_;
  std::unique_ptr<CServerDlg> dlg_;
};

TEST_F(Supervisor, EmptyDefaultPasswordLogsIn) {
  ExpectOperatorMode();
  // Nothing is configured yet: the operator is told who must begin.
  const QLabel* hint = dlg_->findChild<QLabel*>("setupHint");
  EXPECT_TRUE(hint->isVisibleTo(dlg_.get()));
  dlg_->SetFirmwarePath("/srv/fw.bin");
  EXPECT_FALSE(hint->isVisibleTo(dlg_.get()));
  Login("");
  EXPECT_TRUE(dlg_->SupervisorMode());
  EXPECT_EQ(SupervisorButton()->text(), "Supervisor  Logout");
  for (int id : kGoverned) {
    // "Enable Log:" is unchecked: its path and button stay disabled.
    EXPECT_EQ(Enabled(id), id != IDC_LOG_PATH && id != IDC_LOG_OPEN) << id;
  }
  EXPECT_TRUE(dlg_->DeviceRecordAction()->isEnabled());
  EXPECT_TRUE(errors_.Messages().empty());
}

TEST_F(Supervisor, PasswordIsComparedExactly) {
  dlg_->SetSupervisorPassword("Secret");
  Login("secret");
  EXPECT_EQ(errors_.Messages(), std::vector<std::string>{"Invalid Supervisor Password."});
  ExpectOperatorMode();
  Login("");
  EXPECT_EQ(errors_.Messages().size(), 2u);
  ExpectOperatorMode();
  Login("Secret");
  EXPECT_TRUE(dlg_->SupervisorMode());
  EXPECT_EQ(errors_.Messages().size(), 2u);
}

TEST_F(Supervisor, CancelledPasswordDialogChangesNothing) {
  Login(nullptr);
  ExpectOperatorMode();
  EXPECT_TRUE(errors_.Messages().empty());
}

TEST_F(Supervisor, LogoutDisablesTheLogPathEvenWithLoggingOn) {
  const std::string logPath = dir_.File("bench.txt");
  dlg_->SetLogPath(logPath);
  Login("");
  auto* enableLog = qobject_cast<QCheckBox*>(dlg_->Control(IDC_LOG_ENABLE));
  enableLog->click();
  ASSERT_TRUE(enableLog->isChecked());
  EXPECT_TRUE(Enabled(IDC_LOG_PATH));
  EXPECT_TRUE(Enabled(IDC_LOG_OPEN));
  EXPECT_TRUE(HeldOpen(logPath));

  Login(nullptr);  // the button logs out without asking
  ExpectOperatorMode();
  EXPECT_TRUE(enableLog->isChecked());

  Login("");
  EXPECT_TRUE(Enabled(IDC_LOG_PATH));
  EXPECT_TRUE(Enabled(IDC_LOG_OPEN));
  // The banners go out through the writer thread, not the window's.
  const std::string in = "] Supervisor Logs in        ##########\r\n";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(logPath).find(in) != std::string::npos; }));
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("] Supervisor Logs out       ##########\r\n"), std::string::npos) << log;
  EXPECT_TRUE(errors_.Messages().empty());
}

TEST_F(Supervisor, UncheckingTheLogBoxClosesTheFile) {
  dlg_->SetLogPath(dir_.File("bench.txt"));
  Login("");
  auto* enableLog = qobject_cast<QCheckBox*>(dlg_->Control(IDC_LOG_ENABLE));
  enableLog->click();
  ASSERT_TRUE(HeldOpen(dir_.File("bench.txt")));
  enableLog->click();
  EXPECT_TRUE(WaitUntil([&] { return !HeldOpen(dir_.File("bench.txt")); }));
  EXPECT_FALSE(Enabled(IDC_LOG_PATH));
  EXPECT_FALSE(Enabled(IDC_LOG_OPEN));
}

TEST_F(Supervisor, EnablingTheLogWithoutAPathSaysSo) {
  Login("");
  qobject_cast<QCheckBox*>(dlg_->Control(IDC_LOG_ENABLE))->click();
  EXPECT_EQ(errors_.Messages(),
            std::vector<std::string>{"No log file specified, click the \"Open...\" button to "
                                     "select a log file."});
  EXPECT_FALSE(HeldOpen(dir_.File("")));
}

// The change dialog on its own, as OnChangePassword prepares it.
TEST_F(Supervisor, ChangeDialogStaysOpenOnWrongOldPasswordOrMismatch) {
  CChangePasswdDlg& change = dlg_->ChangePasswordDialog();
  change.password = "old-one";
  change.OnInitDialog();
  change.show();
  auto fill = [&change](const char* oldText, const char* newText, const char* confirm) {
    change.OldEntry()->setText(QString::fromLatin1(oldText));
    change.NewEntry()->setText(QString::fromLatin1(newText));
    change.ConfirmEntry()->setText(QString::fromLatin1(confirm));
    change.OkButton()->click();
  };

  fill("old-One", "fresh", "fresh");
  EXPECT_EQ(errors_.Messages(), std::vector<std::string>{"Invalid Old Password"});
  EXPECT_TRUE(change.isVisible());
  EXPECT_EQ(change.password, "old-one");
  EXPECT_EQ(change.NewEntry()->text(), "fresh");  // the entries stay as typed

  fill("old-one", "fresh", "fresh ");
  ASSERT_EQ(errors_.Messages().size(), 2u);
  EXPECT_EQ(errors_.Messages()[1],
            "The passwords you typed do not match. Type the new password in both text boxes.");
  EXPECT_TRUE(change.isVisible());
  EXPECT_EQ(change.password, "old-one");

  fill("old-one", "fresh", "fresh");
  EXPECT_FALSE(change.isVisible());
  EXPECT_EQ(change.result(), QDialog::Accepted);
  EXPECT_EQ(change.password, "fresh");
  EXPECT_EQ(errors_.Messages().size(), 2u);
}

TEST_F(Supervisor, PasswordEntriesTakeAtMost32PrintableCharacters) {
  CPasswdDialog& login = dlg_->PasswordDialog();
  QTest::keyClicks(login.Entry(), QString(40, QLatin1Char('x')));
  EXPECT_EQ(login.Entry()->text().size(), 32);
  login.Entry()->clear();
  QTest::keyClicks(login.Entry(), QStringLiteral("ab"));
  QTest::sendKeyEvent(QTest::Click, login.Entry(), Qt::Key_unknown, QString::fromUtf8("\xc3\xa9"),
                      Qt::NoModifier);
  QTest::keyClicks(login.Entry(), QStringLiteral("c"));
  EXPECT_EQ(login.Entry()->text(), "abc");
  EXPECT_EQ(login.Entry()->echoMode(), QLineEdit::Password);
}

// Answers the change dialog with the given texts and records message boxes.
struct ChangeHand {
  BoxLog boxes;
  ModalHand hand;
  ChangeHand(const char* oldText, const char* newText)
      : hand([this, oldText, newText](QWidget* w) {
          if (auto* change = qobject_cast<CChangePasswdDlg*>(w)) {
            change->OldEntry()->setText(QString::fromLatin1(oldText));
            change->NewEntry()->setText(QString::fromLatin1(newText));
            change->ConfirmEntry()->setText(QString::fromLatin1(newText));
            change->OkButton()->click();
            return true;
          }
          return boxes.Take(w);
        }) {}
};

TEST_F(Supervisor, NewPasswordEqualToTheOldSavesNothing) {
  dlg_->SetSupervisorPassword("same");
  ChangeHand hand("same", "same");
  dlg_->OnChangePassword();
  EXPECT_EQ(hand.hand.Answered(), 1);  // the dialog, and no box after it
  EXPECT_TRUE(hand.boxes.texts.empty());
  EXPECT_FALSE(std::filesystem::exists(settings_));
  EXPECT_EQ(dlg_->SupervisorPassword(), "same");
  EXPECT_TRUE(errors_.Messages().empty());
}

TEST_F(Supervisor, NewPasswordIsSavedAndTakesEffect) {
  dlg_->SetSupervisorPassword("first");
  {
    ChangeHand hand("first", "Second#2");
    dlg_->OnChangePassword();
    ASSERT_EQ(hand.boxes.texts.size(), 1u);
    EXPECT_EQ(hand.boxes.texts[0], "The new password has been saved.");
    EXPECT_EQ(hand.boxes.titles[0], "Information");
    EXPECT_EQ(hand.boxes.icons[0], QMessageBox::Information);
  }
  EXPECT_FALSE(dlg_->SupervisorMode());  // changing it does not log in
  L2_IfList two;
  Interfaces(2)(&two);
  PlainControls stored(two);
  ASSERT_EQ(LoadSettings(stored, settings_), 1);
  EXPECT_EQ(stored.SupervisorPassword(), "Second#2");
  // Only the password was written.
  EXPECT_EQ(stored.FirmwarePath(), "");
  Login("first");
  ExpectOperatorMode();
  Login("Second#2");
  EXPECT_TRUE(dlg_->SupervisorMode());
}

TEST_F(Supervisor, EmptyNewPasswordIsAccepted) {
  dlg_->SetSupervisorPassword("gone");
  ChangeHand hand("gone", "");
  dlg_->OnChangePassword();
  EXPECT_EQ(hand.boxes.texts.size(), 1u);
  EXPECT_EQ(dlg_->SupervisorPassword(), "");
  Login("");
  EXPECT_TRUE(dlg_->SupervisorMode());
}

}  // namespace
