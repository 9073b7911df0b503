// The Transfer Progress window: a sortable table of the run's clients with
// a bar per device, refreshed by a timer of the GUI thread.
#include "console/gui/progress_dialog.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QStyleOption>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <QVBoxLayout>

#include "console/gui/progress_model.h"

namespace {

// The bar's colour says the outcome before the text is read: green for
// Done, red for Error, amber for a device whose transfer failed while it
// is still being served; the style's own colour while all is well. Each is
// dark enough for the white text the style writes over it.
QColor BarColour(const QModelIndex& index, const QPalette& palette) {
  switch (static_cast<ProgressMark>(index.data(ProgressModel::kMarkRole).toInt())) {
    case ProgressMark::kFailed: return QColor(0xb7, 0x1c, 0x1c);
    case ProgressMark::kFailing: return QColor(0xa8, 0x5a, 0x00);
    default: break;
  }
  if (index.data(ProgressModel::kOutcomeRole).toInt() == static_cast<int>(Outcome::kDone)) {
    return QColor(0x2e, 0x7d, 0x32);
  }
  return palette.color(QPalette::Highlight);
}

// Draws the Progress column as a bar with its text on it.
class ProgressBarDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // Every row as tall as one with its mark: the rows are of one height
  // (the first row's), and a mark appearing there must not change it.
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    QStyleOptionViewItem marked(option);
    initStyleOption(&marked, index);
    marked.features |= QStyleOptionViewItem::HasDecoration;
    const QWidget* widget = marked.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    size.setHeight(std::max(
        size.height(),
        style->sizeFromContents(QStyle::CT_ItemViewItem, &marked, QSize(), widget).height()));
    return size;
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    if (index.column() != kColProgress) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    QStyleOptionViewItem cell(option);
    initStyleOption(&cell, index);
    const QWidget* widget = cell.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    // The cell's background first: selection and the row's tint.
    cell.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);

    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.state = (option.state & QStyle::State_Enabled) | QStyle::State_Horizontal;
    bar.direction = option.direction;
    bar.fontMetrics = option.fontMetrics;
    bar.palette = option.palette;
    bar.palette.setColor(QPalette::Highlight, BarColour(index, option.palette));
    bar.palette.setColor(QPalette::HighlightedText, Qt::white);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = index.data(ProgressModel::kPercentRole).toInt();
    bar.textVisible = false;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);

    // The label on a plate of its own: text drawn straight on the bar is
    // white over the fill and dark beside it, unreadable where they meet.
    const QString text = index.data(Qt::DisplayRole).toString();
    const QFontMetrics& fm = option.fontMetrics;
    QRect plate(0, 0, fm.horizontalAdvance(text) + 8, fm.height());
    plate.moveCenter(bar.rect.center());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    QColor back = option.palette.color(QPalette::Base);
    back.setAlpha(170);
    painter->setBrush(back);
    painter->drawRoundedRect(plate, 3, 3);
    painter->setPen(option.palette.color(QPalette::Text));
    painter->drawText(plate, Qt::AlignCenter, text);
    painter->restore();
  }
};

// Room for the widest text a column usually holds.
const char* const kWidestText[kProgressColumns] = {
    "00-00-00-00-00-00", "255.255.255.255", "TFTP-Last-Block", "string table 00",
    "100 % (10000/10000)", "9999.9 KiB/s", "999.9 s", "999", "Error", "999.9 s",
    "TFTP error 3 on firmware: Disk full or allocation exceeded"};

}  // namespace

CProgressDialog::CProgressDialog(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Transfer Progress"));
  setModal(false);
  setSizeGripEnabled(true);

  model_ = new ProgressModel(this);
  sorted_ = new QSortFilterProxyModel(this);
  sorted_->setSourceModel(model_);
  sorted_->setSortRole(ProgressModel::kSortRole);
  // Rows move as their sort column changes; selection and scrolling follow
  // the rows, not the positions.
  sorted_->setDynamicSortFilter(true);

  view_ = new QTreeView(this);
  view_->setObjectName(QStringLiteral("progressView"));
  view_->setModel(sorted_);
  view_->setItemDelegate(new ProgressBarDelegate(view_));
  view_->setRootIsDecorated(false);
  view_->setItemsExpandable(false);
  view_->setUniformRowHeights(true);
  view_->setAlternatingRowColors(true);
  view_->setAllColumnsShowFocus(true);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setSortingEnabled(true);
  view_->sortByColumn(kColMac, Qt::AscendingOrder);

  QHeaderView* header = view_->header();
  header->setSectionsMovable(false);
  header->setStretchLastSection(true);
  const QFontMetrics fm(view_->font());
  const int iconRoom = view_->style()->pixelMetric(QStyle::PM_SmallIconSize) + 8;
  int width = 0;
  for (int c = 0; c < kProgressColumns; ++c) {
    const QString widest = QString::fromLatin1(kWidestText[c]);
    const QString title = QString::fromLatin1(ProgressColumnTitle(c));
    // Room for the sort arrow beside the heading.
    int w = std::max(fm.horizontalAdvance(widest), fm.horizontalAdvance(title) + 14) + 14;
    if (c == kColMac) w += iconRoom;
    view_->setColumnWidth(c, w);
    width += w;
  }

  // The row's mark is drawn at the text's height: a larger icon would make
  // the rows taller whenever the first row is marked.
  view_->setIconSize(QSize(fm.height(), fm.height()));

  // What the operator needs of the selected device without hovering or
  // widening the Failure column.
  details_ = new QLabel(this);
  details_->setObjectName(QStringLiteral("progressDetails"));
  details_->setTextFormat(Qt::PlainText);
  details_->setWordWrap(true);
  details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  details_->setMinimumHeight(fm.lineSpacing() * 2);
  details_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          &CProgressDialog::ShowDetails);

  summary_ = new QLabel(this);
  summary_->setTextFormat(Qt::PlainText);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view_, 1);
  layout->addWidget(details_);
  layout->addWidget(summary_);

  // Every column in view at once: the view's frame, its vertical scroll bar
  // and the window's margins beside the columns.
  const QMargins margins = layout->contentsMargins();
  int wanted = width + 2 * view_->frameWidth() +
               view_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + margins.left() +
               margins.right() + 4;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    wanted = std::min(wanted, screen->availableGeometry().width() - 40);
  }
  resize(wanted, fm.lineSpacing() * 24 + 80);
}

void CProgressDialog::Create() {
  if (open_) return;
  open_ = true;
  if (!placed_) PlaceBesideOwner();
  placed_ = true;
  Refresh();
  show();
  raise();
}

void CProgressDialog::CountFromNow() { model_->CountFromNow(); }

void CProgressDialog::Take(const remote::ProgressNews& news) {
  model_->Take(news);
  Refresh();
}

void CProgressDialog::Refresh() {
  if (!open_) return;

  int inFlight = 0;
  double bytesPerSecond = 0.0;
  const int rows = model_->rowCount();
  for (int i = 0; i < rows; ++i) {
    const ProgressFacts& f = model_->Facts(i);
    if (f.outcome == Outcome::kReworking) {
      ++inFlight;
      bytesPerSecond += f.bytesPerSecond;
    }
  }
  ShowDetails();
  summary_->setText(QStringLiteral("%1 %2: %3 in flight, %4 done, %5 failed, %6 KiB/s")
                        .arg(rows)
                        .arg(rows == 1 ? QStringLiteral("device") : QStringLiteral("devices"))
                        .arg(inFlight)
                        .arg(model_->DoneCount())
                        .arg(model_->FailedCount())
                        .arg(bytesPerSecond / 1024.0, 0, 'f', 1));
}

void CProgressDialog::PlaceBesideOwner() {
  const QWidget* owner = parentWidget();
  QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
  if (owner == nullptr || screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QRect main = owner->frameGeometry();
  const int gap = 8;
  int x = main.right() + gap;
  if (x + width() > area.right()) x = main.left() - gap - width();
  if (x < area.left()) x = area.right() - width();
  const int y = std::clamp(main.top(), area.top(), std::max(area.top(), area.bottom() - height()));
  move(std::max(x, area.left()), y);
}

std::string CProgressDialog::Geometry() const {
  return placed_ ? saveGeometry().toStdString() : std::string();
}

void CProgressDialog::RestoreGeometry(const std::string& geometry) {
  if (!geometry.empty() && restoreGeometry(QByteArray::fromStdString(geometry))) placed_ = true;
}

std::string CProgressDialog::ColumnState() const {
  return view_->header()->saveState().toStdString();
}

void CProgressDialog::RestoreColumns(const std::string& state) {
  if (!state.empty()) view_->header()->restoreState(QByteArray::fromStdString(state));
}

void CProgressDialog::ShowDetails() {
  const QModelIndex current = sorted_->mapToSource(view_->currentIndex());
  details_->setText(current.isValid()
                        ? model_->Details(current.row())
                        : QStringLiteral("Select a device to read when it came and ended, and "
                                         "its failure in full."));
}

void CProgressDialog::closeEvent(QCloseEvent* event) {
  OnClose();
  event->accept();
}

void CProgressDialog::reject() { close(); }

void CProgressDialog::OnClose() {
  if (!open_) return;
  open_ = false;
  emit Closed();
}
