// The Device Status control: entries in columns, and the model's edits
// applied one by one on the GUI thread.
#include "console/gui/status_view.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int kEntryChars = 32;

int CarriageReturns(const std::string& text, size_t from, size_t to) {
  return static_cast<int>(std::count(text.begin() + static_cast<std::ptrdiff_t>(from),
                                     text.begin() + static_cast<std::ptrdiff_t>(to), '\r'));
}

}  // namespace

StatusTextEdit::StatusTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // The strip beside the narrowed viewport looks like the text area.
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
}

double StatusTextEdit::EntryWidth() const {
  return QFontMetricsF(font()).horizontalAdvance(QString(kEntryChars, QLatin1Char('0')));
}

int StatusTextEdit::ExtraWidth() const {
  return 2 * frameWidth() + verticalScrollBar()->sizeHint().width() +
         static_cast<int>(std::ceil(2 * document()->documentMargin()));
}

QSize StatusTextEdit::sizeHint() const {
  const int lines = 12;
  return QSize(static_cast<int>(std::ceil(3 * EntryWidth())) + ExtraWidth() + 2,
               static_cast<int>(std::ceil(lines * QFontMetricsF(font()).lineSpacing())) +
                   2 * frameWidth() + static_cast<int>(2 * document()->documentMargin()));
}

QSize StatusTextEdit::minimumSizeHint() const {
  return QSize(static_cast<int>(std::ceil(2 * EntryWidth())) + ExtraWidth() + 2,
               static_cast<int>(std::ceil(4 * QFontMetricsF(font()).lineSpacing())));
}

void StatusTextEdit::resizeEvent(QResizeEvent* event) {
  FitColumns();
  QPlainTextEdit::resizeEvent(event);
}

void StatusTextEdit::changeEvent(QEvent* event) {
  QPlainTextEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange) FitColumns();
}

// The text wraps at the viewport's width; narrowing the viewport to whole
// entries makes every line break fall between two entries (the blanks that
// end an entry may hang over the edge).
void StatusTextEdit::FitColumns() {
  const double entry = EntryWidth();
  if (entry <= 0) return;
  const int margins = static_cast<int>(std::ceil(2 * document()->documentMargin()));
  const int full = width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width();
  const int columns = std::max(1, static_cast<int>((full - margins - 2) / entry));
  const int textWidth = static_cast<int>(std::ceil(columns * entry)) + 2;
  const int spare = std::max(0, full - margins - textWidth);
  if (viewportMargins().right() != spare) setViewportMargins(0, 0, spare, 0);
}

StatusPanelView::StatusPanelView(QPlainTextEdit* control, QObject* parent)
    : QObject(parent), control_(control), timer_(new QTimer(this)) {
  timer_->setInterval(kApplyIntervalMs);
  connect(timer_, &QTimer::timeout, this, &StatusPanelView::ApplyPending);
  timer_->start();
}

void StatusPanelView::OnEdit(int pos, int count, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  pending_.push_back(Edit{pos, count, text});
}

int StatusPanelView::ControlOffset(size_t modelOffset) const {
  return static_cast<int>(modelOffset) - CarriageReturns(mirror_, 0, modelOffset);
}

void StatusPanelView::ApplyPending() {
  std::vector<Edit> edits;
  {
    std::lock_guard<std::mutex> lock(mu_);
    edits.swap(pending_);
  }
  if (edits.empty()) return;

  // Consecutive insertions, one right behind the other, become one edit:
  // a full rebuild arrives as an emptying and a run of appends, and the
  // control then lays its text out once instead of once per entry.
  std::vector<Edit> merged;
  merged.reserve(edits.size());
  for (Edit& e : edits) {
    if (!merged.empty() && e.count == 0) {
      Edit& last = merged.back();
      if (e.pos == last.pos + static_cast<int>(last.text.size())) {
        last.text += e.text;
        continue;
      }
    }
    merged.push_back(std::move(e));
  }

  // One edit block: the control lays the text out once for the batch, not
  // once per edit (with a crowd, hundreds of entries change in one batch).
  QTextCursor cursor(control_->document());
  cursor.beginEditBlock();
  for (const Edit& e : merged) {
    // The model and the mirror agree; the clamps only keep a wrong edit
    // from reaching outside the text.
    const size_t pos = std::min(static_cast<size_t>(std::max(e.pos, 0)), mirror_.size());
    const size_t count = std::min(static_cast<size_t>(std::max(e.count, 0)), mirror_.size() - pos);
    const int from = ControlOffset(pos);
    const int to = from + static_cast<int>(count) - CarriageReturns(mirror_, pos, pos + count);
    cursor.setPosition(from);
    cursor.setPosition(to, QTextCursor::KeepAnchor);
    QString text = QString::fromLatin1(e.text.data(), static_cast<qsizetype>(e.text.size()));
    text.remove(QLatin1Char('\r'));
    if (text.isEmpty()) {
      cursor.removeSelectedText();
    } else {
      cursor.insertText(text);
    }
    mirror_.replace(pos, count, e.text);
  }
  cursor.endEditBlock();
}

void StatusPanelView::Apply(const remote::PanelNews& news) {
  if (news.whole) OnEdit(0, INT_MAX, {});
  for (const remote::PanelEdit& e : news.edits) OnEdit(e.pos, e.count, e.text);
  ApplyPending();
}
