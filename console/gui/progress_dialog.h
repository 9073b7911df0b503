// The Transfer Progress window: a modeless window with one row per client
// of the run, opened from the "Advanced" menu.
#pragma once

#include <QDialog>
#include <string>

#include "remote/messages.h"

class ProgressModel;
class QCloseEvent;
class QLabel;
class QSortFilterProxyModel;
class QTreeView;

/// The Transfer Progress window. One object lives as long as the main
/// window; the window itself opens and closes any number of times. Its rows
/// follow the engine's news also while it is closed, so that the summary
/// counts every outcome of the run.
class CProgressDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CProgressDialog(QWidget* owner);

  /// A run began: the summary counts the outcomes written from now on.
  void CountFromNow();
  /// The engine's rows that changed.
  void Take(const remote::ProgressNews& news);

  /// Opens the window with the rows it holds.
  void Create();
  /// True while the window is open.
  bool IsOpen() const { return open_; }

  /// The summary and the selected device's details, as the rows are now.
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

  ProgressModel* model_ = nullptr;
  QSortFilterProxyModel* sorted_ = nullptr;
  QTreeView* view_ = nullptr;
  QLabel* summary_ = nullptr;
  QLabel* details_ = nullptr;
  bool open_ = false;
  bool placed_ = false;  // shown once, or given a place to show at
  /// Beside the owner: right of it, else left of it, on its screen.
  void PlaceBesideOwner();
};
