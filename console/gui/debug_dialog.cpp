// The Debug Window: text from any thread reaches the log control in
// batches, always at the end, leaving the operator's selection alone.
#include "console/gui/debug_dialog.h"

#include <algorithm>

#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
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
  save_->setEnabled(false);  // saving was never offered
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
  log_->clear();  // the text is lost; the next window starts empty
  emit Closed();
}

void CDebugDialog::OnClear() { log_->clear(); }

void CDebugDialog::Drain() {
  size_t dropped = 0;
  const std::string batch = queue_.Take(&dropped);
  if (!open_) return;
  if (!batch.empty()) AppendAtEnd(WithoutCarriageReturns(batch));
  if (dropped > 0) {
    AppendAtEnd(QStringLiteral("[Error] %1 bytes of text were dropped: the Debug Window could not keep up\n")
                    .arg(dropped));
  }
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
