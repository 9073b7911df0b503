// The Transfer Progress window's rows: one per client of the run, kept in
// place from the progress board and the clients' live counters.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "console/progress_facts.h"
#include "console/recent_rate.h"
#include "report/progress_board.h"

/// A table of ProgressFacts, one row per client, in the order the clients
/// came. Rows that did not change keep their indexes and say nothing, so a
/// view's sort, selection and scroll position stay as the operator left them.
class ProgressModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  /// What a column sorts by: a number for numeric columns, else its text.
  static constexpr int kSortRole = Qt::UserRole;
  /// The row's percentage of the image in flight (int 0 to 100).
  static constexpr int kPercentRole = Qt::UserRole + 1;
  /// The row's ProgressMark (int).
  static constexpr int kMarkRole = Qt::UserRole + 2;
  /// The row's Outcome (int).
  static constexpr int kOutcomeRole = Qt::UserRole + 3;

  explicit ProgressModel(QObject* parent = nullptr);

  /// Takes the board's rows at `nowMs` (steady clock): samples the rates,
  /// adds the clients new to the table, drops those no longer in the run,
  /// and signals the rows whose facts changed, in runs of neighbours.
  void Update(const std::vector<ProgressRow>& rows, int64_t nowMs);
  /// Forgets every row and every rate reading.
  void Clear();

  /// The facts of source row `row` as last updated.
  const ProgressFacts& Facts(int row) const { return entries_[static_cast<size_t>(row)].facts; }
  /// Source row `row` in one line: its MAC, when it came and ended as local
  /// times of day, its outcome and its failure in full.
  QString Details(int row) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  struct Entry {
    ProgressRow row;
    ProgressFacts facts;
  };
  void RemoveGone(const std::vector<ProgressRow>& rows);

  std::vector<Entry> entries_;
  // The client of each row, by its live block (which the row holds, so the
  // address is not reused while it is a key).
  std::unordered_map<const DeviceLive*, size_t> rowOf_;
  RecentRate rate_;
};
