// The Transfer Progress window: a modeless window with one row per client
// of the run, opened from the "Advanced" menu.
#pragma once

#include <QDialog>
#include <string>

#include "report/progress_board.h"
#include "report/run_counters.h"

class ProgressModel;
class QCloseEvent;
class QLabel;
class QSortFilterProxyModel;
class QTimer;
class QTreeView;

/// The Transfer Progress window. One object lives as long as the main
/// window; the window itself opens and closes any number of times. While it
/// is open its timer samples the board and the clients' live counters on
/// the GUI thread; no worker ever waits for it.
class CProgressDialog : public QDialog {
  Q_OBJECT

 public:
  /// How often the rows are refreshed while the window is open.
  static constexpr int kRefreshIntervalMs = 250;

  /// `board` and `counters` are the run's, and must outlive every open of
  /// the window.
  CProgressDialog(ProgressBoard& board, const RunCounters& counters, QWidget* owner);

  /// A run began: the summary counts the outcomes written from now on.
  void CountFromNow();

  /// Opens the window: asks the server thread to publish its clients, and
  /// shows the rows at once from what the board holds.
  void Create();
  /// True while the window is open.
  bool IsOpen() const { return open_; }

  /// One refresh: the board's rows and every row's counters, now (the
  /// timer does this every kRefreshIntervalMs).
  void Refresh();

  QTreeView* View() const { return view_; }
  /// The rows as the view shows them (sorted).
  QSortFilterProxyModel* SortedRows() const { return sorted_; }
  ProgressModel& Rows() const { return *model_; }
  QLabel* Summary() const { return summary_; }
  /// The columns' widths and sort, as opaque bytes, and back; bytes that
  /// do not fit the view are ignored.
  std::string ColumnState() const;
  void RestoreColumns(const std::string& state);
  /// The window's size and place, as opaque bytes (empty until it has been
  /// shown), and back: the next Create shows it there. Without one it
  /// opens beside its owner, where the screen has room.
  std::string Geometry() const;
  void RestoreGeometry(const std::string& geometry);

  /// The selected device in one line, its failure in full.
  QLabel* Details() const { return details_; }
  QTimer* RefreshTimer() const { return timer_; }

 signals:
  /// The window has been closed.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  /// Escape closes the window the same way as its close box.
  void reject() override;

 private:
  void OnClose();
  void ShowDetails();

  ProgressBoard& board_;
  const RunCounters& counters_;
  OutcomeTally base_;  // the counters when the run began
  ProgressModel* model_ = nullptr;
  QSortFilterProxyModel* sorted_ = nullptr;
  QTreeView* view_ = nullptr;
  QLabel* summary_ = nullptr;
  QLabel* details_ = nullptr;
  QTimer* timer_ = nullptr;
  bool open_ = false;
  bool placed_ = false;  // shown once, or given a place to show at
  /// Beside the owner: right of it, else left of it, on its screen.
  void PlaceBesideOwner();
};
