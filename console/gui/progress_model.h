// The Transfer Progress window's rows: one per client of the run, kept in
// place from the rows the engine sends.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "console/progress_facts.h"
#include "remote/messages.h"

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

  /// Takes the engine's news: drops the rows that left the run (all of
  /// them first when it comes whole), adds the clients new to the table,
  /// and signals the rows whose facts changed, in runs of neighbours.
  void Take(const remote::ProgressNews& news);
  /// Outcomes written since the last CountFromNow, Done and Error: each
  /// client's once, also of clients a Clear or a retry took off the run.
  uint64_t DoneCount() const { return done_; }
  uint64_t FailedCount() const { return failed_; }
  void CountFromNow();

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
  void RemoveGone(const std::unordered_set<uint32_t>& gone);
  void Count(const remote::ProgressLine& line);

  std::vector<remote::ProgressLine> entries_;
  std::unordered_map<uint32_t, size_t> rowOf_;  // by the engine's id of the client
  std::unordered_set<uint32_t> counted_;        // clients whose outcome is counted
  uint64_t done_ = 0;
  uint64_t failed_ = 0;
};
