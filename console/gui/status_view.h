// The window's side of the Device Status panel: the read-only text control
// that mirrors the panel text model through the model's own edits.
#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <mutex>
#include <string>
#include <vector>

#include "remote/messages.h"
#include "report/status_panel.h"

class QTimer;

/// The Device Status text control. Its wrap width is kept at a whole number
/// of 32-character entries, so the entries stand in columns.
class StatusTextEdit : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit StatusTextEdit(QWidget* parent = nullptr);
  /// Room for three entries per line; the minimum holds two.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  double EntryWidth() const;
  int ExtraWidth() const;
  void FitColumns();
};

/// Listens to the panel model's edits on the server thread and applies
/// them, in order and each as the same small replacement, to the control on
/// the GUI thread. The server thread only appends to a queue.
class StatusPanelView : public QObject, public StatusEditListener {
  Q_OBJECT

 public:
  /// How often queued edits are applied.
  static constexpr int kApplyIntervalMs = 50;

  explicit StatusPanelView(QPlainTextEdit* control, QObject* parent = nullptr);

  /// Server thread: queues the edit and returns.
  void OnEdit(int pos, int count, const std::string& text) override;
  /// GUI thread: applies every queued edit now (the timer does this every
  /// kApplyIntervalMs).
  void ApplyPending();
  /// GUI thread: an engine's panel news, applied at once (a whole panel
  /// replaces the text).
  void Apply(const remote::PanelNews& news);

 private:
  struct Edit {
    int pos;
    int count;
    std::string text;
  };
  int ControlOffset(size_t modelOffset) const;

  QPlainTextEdit* control_;
  QTimer* timer_;
  std::mutex mu_;
  std::vector<Edit> pending_;
  // The model text as the control shows it, with its CR LF line ends: the
  // model's offsets count the CRs, the control's do not.
  std::string mirror_;
};
