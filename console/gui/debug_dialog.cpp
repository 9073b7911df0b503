// The Debug Window: text from any thread reaches the log control in
// batches, always at the end, leaving the operator's selection alone.
#include "console/gui/debug_dialog.h"

#include <algorithm>

#include <QCloseEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// The log control shows lines, not CR LF pairs: a carriage return would
// start an extra empty paragraph.
QString WithoutCarriageReturns(const std::string& bytes) {
  QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  text.remove(QLatin1Char('\r'));
  return text;
}

}  // namespace

QSize DialogUnitsToPixels(const QWidget* widget, int x, int y) {
  const QFontMetrics fm(widget->font());
  // A dialog unit is a quarter of the average character width and an
  // eighth of the character height.
  const int baseX = fm.horizontalAdvance(
                        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                    52;
  const int baseY = fm.height();
  return QSize((x * baseX + 2) / 4, (y * baseY + 4) / 8);
}

CDebugDialog::CDebugDialog(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Debug Window"));
  setModal(false);
  setSizeGripEnabled(true);

  log_ = new QPlainTextEdit(this);
  log_->setObjectName(QStringLiteral("logCtl"));
  log_->setReadOnly(true);
  log_->setUndoRedoEnabled(false);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  log_->setMaximumBlockCount(kMaxLines);

  clear_ = new QPushButton(QStringLiteral("Clear"), this);
  save_ = new QPushButton(QStringLiteral("Save..."), this);
  for (QPushButton* b : {clear_, save_}) {
    b->setAutoDefault(false);
    b->setMinimumWidth(DialogUnitsToPixels(this, 50, 14).width());
  }

  // The layout keeps the log control's distances to the frame while the
  // operator resizes the window, and never gives it a negative size.
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(clear_);
  buttons->addStretch(1);
  buttons->addWidget(save_);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(log_, 1);
  layout->addLayout(buttons);

  // The designed 244 x 214 dialog units, widened so that a typical
  // protocol line (up to about 110 characters) fits without wrapping.
  const QFontMetrics fm(log_->font());
  resize(DialogUnitsToPixels(this, 244, 214)
             .expandedTo(QSize(fm.averageCharWidth() * 115 + 60, fm.lineSpacing() * 28 + 60)));

  drainTimer_ = new QTimer(this);
  drainTimer_->setInterval(kDrainIntervalMs);
  connect(drainTimer_, &QTimer::timeout, this, &CDebugDialog::Drain);
  connect(clear_, &QPushButton::clicked, this, &CDebugDialog::OnClear);
  connect(save_, &QPushButton::clicked, this, &CDebugDialog::OnSave);
}

CDebugDialog::~CDebugDialog() {
  logCtl.store(nullptr, std::memory_order_release);
  queue_.Close();
}

void CDebugDialog::Create() {
  if (open_) return;
  OnInitDialog();
  show();
  raise();
}

void CDebugDialog::OnInitDialog() {
  log_->clear();
  queue_.Open();
  open_ = true;
  logCtl.store(&queue_, std::memory_order_release);
  drainTimer_->start();
}

void CDebugDialog::closeEvent(QCloseEvent* event) {
  OnClose();
  event->accept();
}

void CDebugDialog::reject() { close(); }

void CDebugDialog::OnClose() {
  if (!open_) return;
  logCtl.store(nullptr, std::memory_order_release);
  queue_.Close();
  drainTimer_->stop();
  open_ = false;
  OnClear();  // the text is lost; the next window starts empty
  emit Closed();
}

void CDebugDialog::OnClear() {
  log_->clear();
  runLine_.clear();
  runCount_ = 0;
}

void CDebugDialog::OnSave() {
  QFileDialog dialog(this, QStringLiteral("Save the Debug Window"), QString(),
                     QStringLiteral("Text (*.txt)"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveTo(dialog.selectedFiles().constFirst());
}

bool CDebugDialog::SaveTo(const QString& path) {
  QString text = log_->toPlainText();
  if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) text += QLatin1Char('\n');
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  // A file written whole or not at all: a full disk leaves an older save as it was.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
    ErrorBox("Fail to save the Debug Window to '%s': %s", path.toUtf8().constData(),
             file.errorString().toUtf8().constData());
    return false;
  }
  return true;
}

void CDebugDialog::Drain() {
  size_t dropped = 0;
  const std::string batch = queue_.Take(&dropped);
  if (!open_) return;
  if (!batch.empty()) AppendFolded(WithoutCarriageReturns(batch));
  if (dropped > 0) {
    AppendAtEnd(QStringLiteral("[Error] %1 bytes of text were dropped: the Debug Window could not keep up\n")
                    .arg(dropped));
    // The notice now ends the text: a repeat of the run before it must
    // start a line of its own, not write its count over the notice.
    runLine_.clear();
    runCount_ = 0;
  }
}

void CDebugDialog::AppendFolded(const QString& text) {
  // One fault met again and again (a board retrying, a port that stays
  // away) would push everything else out of sight.
  static const QString kErrorTag = QStringLiteral("[Error]");
  QString pending;
  bool countChanged = false;
  qsizetype at = 0;
  while (at < text.size()) {
    const qsizetype lf = text.indexOf(QLatin1Char('\n'), at);
    const qsizetype end = lf < 0 ? text.size() : lf + 1;
    const QString line = text.mid(at, end - at);
    at = end;
    if (!runLine_.isEmpty() && line == runLine_) {
      ++runCount_;
      countChanged = true;
      continue;
    }
    if (countChanged) {
      if (!pending.isEmpty()) AppendAtEnd(pending);
      pending.clear();
      ShowRunCount();
      countChanged = false;
    }
    pending += line;
    const bool whole = line.endsWith(QLatin1Char('\n'));
    runLine_ = whole && line.startsWith(kErrorTag) ? line : QString();
    runCount_ = 1;
  }
  if (!pending.isEmpty()) AppendAtEnd(pending);
  if (countChanged) ShowRunCount();
}

void CDebugDialog::ShowRunCount() {
  QTextDocument* doc = log_->document();
  // The text ends with a line feed: the last block is the empty one after it.
  QTextBlock block = doc->lastBlock().previous();
  if (!block.isValid()) return;
  QTextCursor line(block);
  line.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  QString shown = runLine_;
  shown.chop(1);
  line.insertText(QStringLiteral("%1 (repeated %2 times)").arg(shown).arg(runCount_));
}

void CDebugDialog::AppendAtEnd(const QString& text) {
  QTextDocument* doc = log_->document();
  QScrollBar* bar = log_->verticalScrollBar();
  const bool followEnd = bar->value() >= bar->maximum();
  const int oldValue = bar->value();
  const QTextCursor view = log_->textCursor();
  const int anchor = view.anchor();
  const int position = view.position();
  const int charsBefore = doc->characterCount();
  const int blocksBefore = doc->blockCount();

  // A cursor of our own, so that the operator's selection is never the
  // place the text goes to.
  QTextCursor end(doc);
  end.movePosition(QTextCursor::End);
  end.insertText(text);

  // Lines beyond kMaxLines have gone from the top: what the operator looks
  // at moved up by that much.
  const int newBlocks = static_cast<int>(text.count(QLatin1Char('\n')));
  const int removedChars = std::max(0, charsBefore + static_cast<int>(text.size()) -
                                           doc->characterCount());
  const int removedBlocks = std::max(0, blocksBefore + newBlocks - doc->blockCount());

  if (view.hasSelection() || removedChars > 0) {
    // A selection that reached the end would have grown over the new text.
    QTextCursor kept(doc);
    kept.setPosition(std::max(0, anchor - removedChars));
    kept.setPosition(std::max(0, position - removedChars), QTextCursor::KeepAnchor);
    log_->setTextCursor(kept);
  }
  if (followEnd) {
    bar->setValue(bar->maximum());
  } else {
    bar->setValue(std::max(0, oldValue - removedBlocks));
  }
}
