// ErrorBox for the window: a modal message box on the GUI thread, shown
// for a worker thread without ever making the GUI thread wait for it.
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "report/debug_print.h"

/// Shows every ErrorBox text in a box titled "Error" with the error icon
/// and an OK button, owned by no window. On the GUI thread the box is shown
/// at once. Another thread posts the box to the GUI thread and waits, alone,
/// until the operator has dismissed it; the GUI thread keeps dispatching
/// events while it waits for a worker, so the box always appears.
/// Construct it on the GUI thread.
class GuiErrorSink : public QObject, public ErrorSink {
  Q_OBJECT

 public:
  GuiErrorSink();
  /// Releases the threads still waiting for a box that will not be shown.
  ~GuiErrorSink() override;

  void Show(const char* text) override;

  /// Threads now waiting for the operator to dismiss their box.
  int Waiting() const;

 private:
  struct Request {
    QString text;
    bool taken = false;  // a box for it is up, guarded by the sink's mu_
    std::mutex mu;
    std::condition_variable cv;
    bool answered = false;
  };
  /// On the GUI thread: a box for every request not yet taken.
  Q_INVOKABLE void ShowWaiting();
  static void ShowBox(const QString& text);
  void Answer(const std::shared_ptr<Request>& request);

  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Request>> waiting_;
  bool closing_ = false;
};
