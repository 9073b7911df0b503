// The Debug Window: its menu item, text discarded while it is closed, a
// fresh window each time, Clear, the order of lines from many threads, and
// new text that leaves the operator's selection and scroll position alone.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <map>
#include <thread>

#include "console/gui/server_dlg.h"
#include "gui_support.h"

namespace {

using namespace gui_test;

class DebugWindow : public ::testing::Test {
 protected:
  DebugWindow() {
    dlg_ = std::make_unique<CServerDlg>(FakeOptions(1, link_, dir_.File("settings.ini")));
    dlg_->OnInitDialog();
  }
  CDebugDialog& Window() const { return dlg_->DebugWindow(); }
  LogSink* Slot() const { return LogControl(&Window().logCtl); }
  std::string Text() const { return DebugText(*dlg_); }

  TempDir dir_;
  RecordingErrorSink errors_;
  FakeLink link_;
  std::unique_ptr<CServerDlg> dlg_;
};

TEST_F(DebugWindow, MenuItemIsCheckedAndGrayedExactlyWhileTheWindowExists) {
  QAction* item = dlg_->DebugWindowAction();
  EXPECT_EQ(item->text(), "Debug Window");
  EXPECT_FALSE(item->isChecked());
  EXPECT_TRUE(item->isEnabled());
  EXPECT_EQ(Slot(), nullptr);

  item->trigger();
  EXPECT_TRUE(item->isChecked());
  EXPECT_FALSE(item->isEnabled());
  EXPECT_TRUE(Window().isVisible());
  EXPECT_EQ(Window().windowTitle(), "Debug Window");
  EXPECT_NE(Slot(), nullptr);
  EXPECT_EQ(Window().ClearButton()->text(), "Clear");
  EXPECT_EQ(Window().SaveButton()->text(), "Save...");
  EXPECT_TRUE(Window().SaveButton()->isEnabled());

  Window().close();
  EXPECT_FALSE(item->isChecked());
  EXPECT_TRUE(item->isEnabled());
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Slot(), nullptr);
}

TEST_F(DebugWindow, RepeatedErrorLinesShowOnceWithTheirCountAndSaveWritesTheText) {
  dlg_->OnDebugWindow();
  for (int i = 0; i < 3; ++i) DebugPrint(Slot(), "[Error] gone\r\n");
  Window().Drain();
  DebugPrint(Slot(), "[Error] gone\r\nback\r\nback\r\n[Error] gone\r\n");
  const std::string path = dir_.File("debug.txt");
  ModalHand hand([&](QWidget* w) {
    auto* picker = qobject_cast<QFileDialog*>(w);
    if (picker == nullptr) return false;
    SelectInPicker(picker, path);
    static_cast<QDialog*>(picker)->accept();
    return true;
  });
  Window().Drain();
  Window().SaveButton()->click();
  EXPECT_EQ(ReadFile(path), "[Error] gone (repeated 4 times)\r\nback\r\nback\r\n[Error] gone\r\n");
}

TEST_F(DebugWindow, ARepeatAfterTheDropNoticeLeavesTheNoticeStanding) {
  dlg_->OnDebugWindow();
  for (size_t i = 0; i <= DebugLogQueue::kMaxPending / 14; ++i)
    DebugPrint(Slot(), "[Error] gone\r\n");
  Window().Drain();
  DebugPrint(Slot(), "[Error] gone\r\n");
  Window().Drain();
  const std::string text = DebugText(*dlg_);
  EXPECT_NE(text.find("bytes of text were dropped: the Debug Window could not keep up\n"),
            std::string::npos);
}

TEST(DebugWindowNote, StartsTheWindowEachTimeItOpens) {
  // The window is closed at start and opens empty: a note printed once
  // then would be lost.
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  ServerDlgOptions options = FakeOptions(1, link, dir.File("settings.ini"));
  options.debugNote = "Reduced (3 variables dropped).\r\n";
  CServerDlg dlg(std::move(options));
  dlg.OnInitDialog();
  dlg.OnDebugWindow();
  DebugPrint(LogControl(&dlg.DebugWindow().logCtl), "next\r\n");
  EXPECT_EQ(DebugText(dlg), "Reduced (3 variables dropped).\nnext\n");
  dlg.DebugWindow().close();
  dlg.OnDebugWindow();
  EXPECT_EQ(DebugText(dlg), "Reduced (3 variables dropped).\n");
}

TEST_F(DebugWindow, ClosedWindowDiscardsTextAndReopensEmpty) {
  DebugPrint(Slot(), "nobody reads this\r\n");
  dlg_->OnDebugWindow();
  DebugPrint(Slot(), "first %d\r\n", 1);
  EXPECT_EQ(Text(), "first 1\n");

  LogSink* readBeforeClose = Slot();
  DebugPrint(readBeforeClose, "queued, never shown\r\n");
  Window().close();
  DebugPrint(Slot(), "while closed\r\n");
  // A writer that read the slot just before the close.
  DebugPrint(readBeforeClose, "late\r\n");

  dlg_->OnDebugWindow();
  EXPECT_EQ(Text(), "");
  DebugPrint(Slot(), "second\r\n");
  EXPECT_EQ(Text(), "second\n");
}

TEST_F(DebugWindow, ClearEmptiesTheLogAndLaterTextStartsAtTheTop) {
  dlg_->OnDebugWindow();
  for (int i = 0; i < 50; ++i) DebugPrint(Slot(), "line %d\r\n", i);
  ASSERT_NE(Text(), "");
  Window().ClearButton()->click();
  EXPECT_EQ(Window().LogCtl()->toPlainText(), "");
  DebugPrint(Slot(), "after clear\r\n");
  EXPECT_EQ(Text(), "after clear\n");
}

TEST_F(DebugWindow, EachThreadsLinesArriveInItsOrder) {
  dlg_->OnDebugWindow();
  constexpr int kThreads = 4;
  constexpr int kLines = 3000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) DebugPrint(Slot(), "[t%d] line %d\r\n", t, i);
    });
  }
  // The window takes the text while the writers still write.
  const bool all = WaitUntil([this] {
    return Window().LogCtl()->document()->blockCount() >= kThreads * kLines + 1;
  });
  for (auto& w : writers) w.join();
  ASSERT_TRUE(all);

  std::map<int, int> next;
  const QStringList lines = Window().LogCtl()->toPlainText().split(QLatin1Char('\n'));
  for (const QString& line : lines) {
    if (line.isEmpty()) continue;
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.toLatin1().constData(), "[t%d] line %d", &t, &i), 2) << line.toStdString();
    ASSERT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

TEST_F(DebugWindow, NewTextLeavesTheSelectionAndScrollPositionAlone) {
  dlg_->OnDebugWindow();
  QPlainTextEdit* log = Window().LogCtl();
  for (int i = 0; i < 400; ++i) DebugPrint(Slot(), "line %03d\r\n", i);
  Text();
  QScrollBar* bar = log->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);

  // The operator scrolls back and selects "line 002" to copy it.
  bar->setValue(0);
  QTextCursor select(log->document());
  select.setPosition(18);
  select.setPosition(26, QTextCursor::KeepAnchor);
  log->setTextCursor(select);
  ASSERT_EQ(log->textCursor().selectedText(), "line 002");

  for (int i = 400; i < 450; ++i) DebugPrint(Slot(), "line %03d\r\n", i);
  Text();
  EXPECT_EQ(log->textCursor().selectedText(), "line 002");
  EXPECT_EQ(bar->value(), 0);
  EXPECT_TRUE(log->toPlainText().endsWith("line 448\nline 449\n"));

  // A selection that reaches the end does not grow over new text.
  QTextCursor toEnd(log->document());
  toEnd.setPosition(log->document()->characterCount() - 10);
  toEnd.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  log->setTextCursor(toEnd);
  const QString selected = log->textCursor().selectedText();
  DebugPrint(Slot(), "line 450\r\n");
  Text();
  EXPECT_EQ(log->textCursor().selectedText(), selected);

  // At the end, the view follows the new text.
  log->moveCursor(QTextCursor::End);
  bar->setValue(bar->maximum());
  for (int i = 451; i < 500; ++i) DebugPrint(Slot(), "line %03d\r\n", i);
  Text();
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_GT(bar->maximum(), 0);
}

TEST_F(DebugWindow, ResizingKeepsTheLogControlsDistancesToTheFrame) {
  dlg_->OnDebugWindow();
  CDebugDialog& w = Window();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  auto margins = [&w] {
    const QRect log = w.LogCtl()->geometry();
    return std::make_pair(w.width() - log.right(), w.height() - log.bottom());
  };
  const auto before = margins();
  w.resize(w.width() + 150, w.height() + 120);
  QTest::qWait(20);
  EXPECT_EQ(margins(), before);
  w.resize(1, 1);
  QTest::qWait(20);
  EXPECT_GE(w.LogCtl()->width(), 0);
  EXPECT_GE(w.LogCtl()->height(), 0);
  EXPECT_GE(w.LogCtl()->geometry().top(), 0);
}

}  // namespace
