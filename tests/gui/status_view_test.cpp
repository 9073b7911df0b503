// The Device Status control mirrors the panel model: edits made on a
// server-like thread reach the control in order, each as the same small
// replacement, and the entries stand in columns.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <thread>
#include <vector>

#include "console/gui/status_view.h"
#include "report/panel_devices.h"
#include "report/status_panel.h"
#include "gui_support.h"

namespace {

std::string WithoutCr(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// Runs `work` on a thread of its own, as the server thread edits the model.
void OnServerThread(const std::function<void()>& work) { std::thread(work).join(); }

struct Change {
  int from;
  int removed;
  int added;
};

class StatusView : public ::testing::Test {
 protected:
  StatusView() : control_(new StatusTextEdit), view_(control_.get()) {
    text_.SetListener(&view_);
    QObject::connect(control_->document(), &QTextDocument::contentsChange,
                     [this](int from, int removed, int added) {
                       changes_.push_back({from, removed, added});
                     });
  }
  std::string Shown() const { return control_->toPlainText().toStdString(); }

  std::unique_ptr<StatusTextEdit> control_;
  StatusPanelView view_;
  StatusText text_;
  PanelState state_;
  Devices devices_;
  std::vector<Change> changes_;
};

TEST_F(StatusView, ShowsTheModelTextWithItsLineEnds) {
  state_.Set(sortKey, kSortMacUp);
  OnServerThread([this] { GUIStatusReset(&text_, 0, state_); });
  view_.ApplyPending();
  EXPECT_EQ(Shown(), "Total    0 devices: \n\n");

  for (uint8_t last : {0x30, 0x10, 0x20}) devices_.Add(MacOf(last));
  OnServerThread([this] { GUIStatusUpdate(&text_, devices_.head(), state_); });
  view_.ApplyPending();
  EXPECT_EQ(Shown(),
            "Total    3 devices: Reworking (3)\n\n"
            "00-00-00-00-00-10: Reworking    00-00-00-00-00-20: Reworking    "
            "00-00-00-00-00-30: Reworking    ");
  EXPECT_EQ(Shown(), WithoutCr(text_.Text()));
}

TEST_F(StatusView, IncrementalRefreshEditsOnlyWhatChanged) {
  state_.Set(sortKey, kSortStatus);
  for (int i = 0; i < 60; ++i) devices_.Add(MacOf(static_cast<uint8_t>(i + 1)));
  OnServerThread([this] {
    GUIStatusReset(&text_, 0, state_);
    GUIStatusUpdateSorting(&text_, devices_.head(), state_);
  });
  view_.ApplyPending();
  ASSERT_EQ(Shown(), WithoutCr(text_.Text()));
  const int length = control_->document()->characterCount();
  ASSERT_GT(length, 60 * 32);

  // One device finishes: in Status order its entry moves to the Done group.
  // A batch reaches the control as one change (laid out once), which
  // begins at the header's counts, not at a rewrite from the top.
  changes_.clear();
  Devices::FinishDone(devices_.Find(MacOf(40)));
  OnServerThread([this] { GUIStatusUpdate(&text_, devices_.head(), state_); });
  view_.ApplyPending();
  EXPECT_EQ(Shown(), WithoutCr(text_.Text()));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].from, 19);

  // A word that changes in place in MAC order: 9 characters, nothing else
  // of the entries.
  state_.Set(sortKey, kSortMacUp);
  OnServerThread([this] { GUIStatusUpdateSorting(&text_, devices_.head(), state_); });
  view_.ApplyPending();
  const int entriesStart = static_cast<int>(Shown().find("\n\n")) + 2;
  changes_.clear();
  Devices::FinishError(devices_.Find(MacOf(7)));
  OnServerThread([this] { GUIStatusUpdate(&text_, devices_.head(), state_); });
  view_.ApplyPending();
  EXPECT_EQ(Shown(), WithoutCr(text_.Text()));
  // From the header's counts to the end of the word: nothing behind the
  // word is touched, and the entries between keep their length.
  const int entry7 = static_cast<int>(Shown().find("00-00-00-00-00-07"));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].from, 19);
  EXPECT_LT(changes_[0].from, entriesStart);
  EXPECT_EQ(changes_[0].from + changes_[0].added, entry7 + 19 + 9);
}

TEST_F(StatusView, EditsQueuedAcrossRebuildsKeepTheirOrder) {
  state_.Set(sortKey, kSortMacDown);
  for (int i = 0; i < 10; ++i) devices_.Add(MacOf(static_cast<uint8_t>(0xa0 + i)));
  // Many refreshes and rebuilds before the GUI thread looks once.
  OnServerThread([this] {
    GUIStatusReset(&text_, 0, state_);
    for (int round = 0; round < 5; ++round) {
      GUIStatusUpdate(&text_, devices_.head(), state_);
      devices_.Add(MacOf(static_cast<uint8_t>(0x10 + round)));
      if (round == 2) GUIStatusUpdateSorting(&text_, devices_.head(), state_);
    }
    GUIStatusUpdate(&text_, devices_.head(), state_);
  });
  view_.ApplyPending();
  EXPECT_EQ(Shown(), WithoutCr(text_.Text()));
}

TEST_F(StatusView, EntriesStandInColumnsAtEveryWidth) {
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::TypeWriter);
  font.setPixelSize(11);
  control_->setFont(font);
  state_.Set(sortKey, kSortMacUp);
  for (int i = 0; i < 40; ++i) devices_.Add(MacOf(static_cast<uint8_t>(i)));
  OnServerThread([this] {
    GUIStatusReset(&text_, 0, state_);
    GUIStatusUpdate(&text_, devices_.head(), state_);
  });
  view_.ApplyPending();
  control_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(control_.get()));

  for (int width : {control_->minimumSizeHint().width(), 430, 555, 700, 1013}) {
    control_->resize(width, 300);
    QTest::qWait(10);
    const QTextBlock entries = control_->document()->findBlockByNumber(2);
    ASSERT_TRUE(entries.isValid());
    QTextLayout* layout = entries.layout();
    ASSERT_NE(layout, nullptr);
    ASSERT_GT(layout->lineCount(), 1) << "width " << width;
    const int perLine = layout->lineAt(0).textLength();
    EXPECT_EQ(perLine % 32, 0) << "width " << width;
    for (int i = 0; i + 1 < layout->lineCount(); ++i) {
      EXPECT_EQ(layout->lineAt(i).textLength(), perLine) << "width " << width << " line " << i;
    }
  }
}

}  // namespace
