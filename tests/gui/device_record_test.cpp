// The device record from the window: the supervisor's "Device Record..."
// dialog, the path saved and loaded with the other settings, and the file
// that Start opens, a change while running replaces and Stop closes.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "console/gui/record_path_dlg.h"
#include "console/gui/server_dlg.h"
#include "gui_support.h"

namespace {

using namespace gui_test;

// Answers the "Device Record" dialog: when `picked` is not empty,
// "Browse..." first, with `picked` chosen in the file dialog; then each text
// of `typed` in turn is put in the entry and OK pressed (a refused text
// leaves the dialog open for the next). No text at all: Cancel.
class RecordHand {
 public:
  RecordHand(std::string picked, std::vector<std::string> typed)
      : picked_(std::move(picked)), typed_(std::move(typed)),
        hand_([this](QWidget* w) { return Answer(w); }) {}

  /// The entry's text when the dialog first showed, and after the browse.
  QString shown;
  QString afterBrowse;

 private:
  bool Answer(QWidget* w) {
    if (auto* picker = qobject_cast<QFileDialog*>(w)) {
      // Seen again: the file dialog did not take the name.
      if (pickerSeen_++ > 0) {
        picker->reject();
        return true;
      }
      SelectInPicker(picker, picked_);
      // QFileDialog::accept checks the name, and may object in a box of its
      // own: from the event loop, so that this hand can answer that box.
      QTimer::singleShot(0, picker, [picker] { static_cast<QDialog*>(picker)->accept(); });
      return true;
    }
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      // The file dialog's own objection to the name: the picker, seen
      // again, is then cancelled.
      box->reject();
      return true;
    }
    auto* dialog = qobject_cast<CRecordPathDlg*>(w);
    if (dialog == nullptr) return false;
    if (!opened_) {
      opened_ = true;
      shown = dialog->Entry()->text();
    }
    if (!picked_.empty() && !browsed_) {
      browsed_ = true;
      // From the event loop: a file dialog opened inside this handler would
      // never be answered by it.
      QTimer::singleShot(0, dialog->BrowseButton(), &QPushButton::click);
      return true;
    }
    // The browse is over only once its file dialog is gone: the entry
    // takes the name after the file dialog has closed.
    if (dialog->findChild<QFileDialog*>() != nullptr) return false;
    if (typed_.empty()) {
      dialog->reject();
      return true;
    }
    if (next_ >= typed_.size()) return false;
    if (next_ == 0) afterBrowse = dialog->Entry()->text();
    dialog->Entry()->setText(QString::fromStdString(typed_[next_++]));
    dialog->OkButton()->click();
    return true;
  }

  std::string picked_;
  std::vector<std::string> typed_;
  bool opened_ = false;
  bool browsed_ = false;
  int pickerSeen_ = 0;
  size_t next_ = 0;
  ModalHand hand_;
};

TEST(DeviceRecord, ThePathIsPickedInSupervisorModeRefusedLikeTheLogsAndKeptInTheSettings) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  const std::string settings = dir.File("settings.ini");
  const std::string record = dir.File("devices.jsonl");  // does not exist yet
  const std::string tooLong = "/" + std::string(260, 'r');
  {
    auto dlg = OpenWindow(link, settings);
    dlg->EnterSupervisorMode();
    ASSERT_TRUE(dlg->DeviceRecordAction()->isEnabled());
    RecordHand hand(record, {tooLong, "devices.jsonl", record});
    dlg->DeviceRecordAction()->trigger();

    EXPECT_EQ(hand.shown, "");
    EXPECT_EQ(hand.afterBrowse.toStdString(), record);
    EXPECT_EQ(dlg->RecordPath(), record);
    EXPECT_EQ(errors.Messages(),
              (std::vector<std::string>{
                  "The chosen path is too long to be kept (261 bytes, at most 260): " + tooLong,
                  "The record file needs a full path, from '/': devices.jsonl"}));
    // Chosen while stopped: the next Start opens it.
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_TRUE(dlg->close());
  }

  auto again = OpenWindow(link, settings);
  EXPECT_EQ(again->RecordPath(), record);
  again->EnterSupervisorMode();
  RecordHand cancel("", {});
  again->DeviceRecordAction()->trigger();
  EXPECT_EQ(cancel.shown.toStdString(), record);
  EXPECT_EQ(again->RecordPath(), record);
  EXPECT_EQ(errors.Messages().size(), 2u);  // nothing since
}

TEST(DeviceRecord, StartOpensTheChosenFileAChangeWhileRunningTakesEffectAtOnceStopClosesIt) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  auto dlg = OpenWindow(link, dir.File("settings.ini"));
  dlg->EnterSupervisorMode();
  auto choose = [&dlg](const std::string& path) {
    RecordHand hand("", {path});
    dlg->DeviceRecordAction()->trigger();
  };
  auto startStop = qobject_cast<QPushButton*>(dlg->Control(IDC_START_STOP));
  const std::string first = dir.File("first.jsonl");
  const std::string second = dir.File("second.jsonl");
  const std::string third = dir.File("third.jsonl");

  choose(first);
  EXPECT_FALSE(std::filesystem::exists(first));
  startStop->click();
  ASSERT_TRUE(dlg->Running());
  EXPECT_TRUE(std::filesystem::exists(first));

  choose(second);
  EXPECT_TRUE(std::filesystem::exists(second));
  startStop->click();
  ASSERT_FALSE(dlg->Running());
  EXPECT_FALSE(HeldOpen(first));
  EXPECT_TRUE(WaitUntil([&] { return !HeldOpen(second); }));

  choose(third);
  EXPECT_FALSE(std::filesystem::exists(third));
  startStop->click();
  ASSERT_TRUE(dlg->Running());
  EXPECT_TRUE(std::filesystem::exists(third));
  EXPECT_TRUE(errors.Messages().empty()) << errors.Messages()[0];
}

}  // namespace
