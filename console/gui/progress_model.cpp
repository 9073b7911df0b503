// Rows of the Transfer Progress window: the engine's facts per client,
// compared with the last ones so that only what changed is repainted and
// re-sorted.
#include "console/gui/progress_model.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QIcon>
#include <QStyle>
#include <algorithm>

namespace {

// Light tints that keep dark text readable, whatever the desktop's theme.
const QColor kFailedTint(0xff, 0xd2, 0xd2);
const QColor kFailingTint(0xff, 0xe8, 0xb8);
const QColor kTintedText(0x1a, 0x1a, 0x1a);

// Numbers to the right, so that their digits line up.
int Alignment(int column) {
  const bool right = column == kColRate || column == kColElapsed || column == kColResent ||
                     column == kColTotalTime;
  return static_cast<int>((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
}

// A rate as it grows: KiB/s, then MiB/s, so that a fast line reads at a glance.
QString RateText(double bytesPerSecond) {
  const double kib = bytesPerSecond / 1024.0;
  if (kib < 1024.0) return QStringLiteral("%1 KiB/s").arg(kib, 0, 'f', 1);
  return QStringLiteral("%1 MiB/s").arg(kib / 1024.0, 0, 'f', 2);
}

QString TimeOfDay(int64_t wallMs) {
  return QDateTime::fromMSecsSinceEpoch(wallMs).toLocalTime().toString(QStringLiteral("HH:mm:ss"));
}

}  // namespace

ProgressModel::ProgressModel(QObject* parent) : QAbstractTableModel(parent) {}

QString ProgressModel::Details(int row) const {
  if (row < 0 || row >= rowCount()) return {};
  const remote::ProgressLine& e = entries_[static_cast<size_t>(row)];
  QString line = QString::fromStdString(e.facts.text[kColMac]) + QStringLiteral(": started ") +
                 TimeOfDay(e.startWallMs);
  if (e.endWallMs != 0) line += QStringLiteral(", ended ") + TimeOfDay(e.endWallMs);
  if (!e.facts.text[kColOutcome].empty())
    line += QStringLiteral(", ") + QString::fromStdString(e.facts.text[kColOutcome]);
  if (!e.facts.text[kColFailure].empty())
    line += QStringLiteral(": ") + QString::fromStdString(e.facts.text[kColFailure]);
  return line;
}

int ProgressModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int ProgressModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kProgressColumns;
}

void ProgressModel::Take(const remote::ProgressNews& news) {
  std::unordered_set<uint32_t> gone(news.gone.begin(), news.gone.end());
  if (news.whole) {
    for (const remote::ProgressLine& e : entries_) gone.insert(e.id);
  }
  // A row sent whole stays the same row: only what changed is signalled.
  for (const remote::ProgressLine& line : news.lines) gone.erase(line.id);
  RemoveGone(gone);

  // Rows that changed, signalled in runs of neighbours: with every device
  // in flight, one signal for the whole table.
  std::vector<int> changed;
  std::vector<const remote::ProgressLine*> added;
  for (const remote::ProgressLine& line : news.lines) {
    Count(line);
    const auto it = rowOf_.find(line.id);
    if (it == rowOf_.end()) {
      added.push_back(&line);
      continue;
    }
    remote::ProgressLine& e = entries_[it->second];
    if (e == line) continue;
    e = line;
    changed.push_back(static_cast<int>(it->second));
  }
  std::sort(changed.begin(), changed.end());
  for (size_t i = 0; i < changed.size();) {
    size_t j = i + 1;
    while (j < changed.size() && changed[j] == changed[j - 1] + 1) ++j;
    emit dataChanged(index(changed[i], 0), index(changed[j - 1], kProgressColumns - 1));
    i = j;
  }

  if (added.empty()) return;
  const int n = static_cast<int>(entries_.size());
  beginInsertRows(QModelIndex(), n, n + static_cast<int>(added.size()) - 1);
  for (const remote::ProgressLine* line : added) {
    rowOf_[line->id] = entries_.size();
    entries_.push_back(*line);
  }
  endInsertRows();
}

void ProgressModel::Count(const remote::ProgressLine& line) {
  if (line.facts.outcome == Outcome::kReworking || !counted_.insert(line.id).second) return;
  ++(line.facts.outcome == Outcome::kDone ? done_ : failed_);
}

void ProgressModel::CountFromNow() {
  done_ = failed_ = 0;
  // The rows already final were written before: not counted again.
  counted_.clear();
  for (const remote::ProgressLine& e : entries_)
    if (e.facts.outcome != Outcome::kReworking) counted_.insert(e.id);
}

void ProgressModel::RemoveGone(const std::unordered_set<uint32_t>& gone) {
  if (gone.empty()) return;
  const auto isGone = [&](int i) {
    return gone.count(entries_[static_cast<size_t>(i)].id) != 0;
  };
  bool removed = false;
  // From the end, so that the indexes ahead stay valid.
  for (int i = static_cast<int>(entries_.size()) - 1; i >= 0;) {
    if (!isGone(i)) {
      --i;
      continue;
    }
    int first = i;
    while (first > 0 && isGone(first - 1)) --first;
    beginRemoveRows(QModelIndex(), first, i);
    entries_.erase(entries_.begin() + first, entries_.begin() + i + 1);
    endRemoveRows();
    removed = true;
    i = first - 1;
  }
  if (!removed) return;
  rowOf_.clear();
  for (size_t i = 0; i < entries_.size(); ++i) rowOf_[entries_[i].id] = i;
}

QVariant ProgressModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= kProgressColumns) {
    return {};
  }
  const ProgressFacts& f = entries_[static_cast<size_t>(index.row())].facts;
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      if (column == kColRate && !f.text[column].empty()) return RateText(f.bytesPerSecond);
      return QString::fromStdString(f.text[column]);
    case kSortRole:
      if (ProgressColumnIsNumeric(column)) return f.sortKey[column];
      return QString::fromStdString(f.text[column]);
    case kPercentRole:
      return f.percent;
    case kMarkRole:
      return static_cast<int>(f.mark);
    case kOutcomeRole:
      return static_cast<int>(f.outcome);
    case Qt::TextAlignmentRole:
      return Alignment(column);
    case Qt::BackgroundRole:
      if (f.mark == ProgressMark::kFailed) return QBrush(kFailedTint);
      if (f.mark == ProgressMark::kFailing) return QBrush(kFailingTint);
      return {};
    case Qt::ForegroundRole:
      if (f.mark != ProgressMark::kNone) return QBrush(kTintedText);
      return {};
    case Qt::DecorationRole:
      // The mark at the row's start, where the eye looks first.
      if (column != kColMac || f.mark == ProgressMark::kNone) return {};
      return QApplication::style()->standardIcon(f.mark == ProgressMark::kFailed
                                                     ? QStyle::SP_MessageBoxCritical
                                                     : QStyle::SP_MessageBoxWarning);
    case Qt::ToolTipRole:
      // A long device text may not fit its column.
      if (column == kColFailure && !f.text[column].empty()) {
        return QString::fromStdString(f.text[column]);
      }
      return {};
    default:
      return {};
  }
}

QVariant ProgressModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(ProgressColumnTitle(section));
  if (role == Qt::ToolTipRole) return QString::fromLatin1(ProgressColumnHint(section));
  // Headings over their numbers.
  if (role == Qt::TextAlignmentRole) return Alignment(section);
  return {};
}
