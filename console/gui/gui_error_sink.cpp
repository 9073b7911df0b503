// ErrorBox for the window: the box on the GUI thread, the wait in the
// calling worker thread only.
#include "console/gui/gui_error_sink.h"

#include <QMessageBox>
#include <QThread>
#include <algorithm>
#include <cstdio>

GuiErrorSink::GuiErrorSink() = default;

GuiErrorSink::~GuiErrorSink() {
  std::vector<std::shared_ptr<Request>> waiting;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
    waiting = waiting_;
  }
  for (const auto& request : waiting) Answer(request);
}

void GuiErrorSink::ShowBox(const QString& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
  box.exec();
}

void GuiErrorSink::Show(const char* text) {
  const QString message = QString::fromUtf8(text);
  if (QThread::currentThread() == thread()) {
    ShowBox(message);
    return;
  }
  auto request = std::make_shared<Request>();
  request->text = message;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) {
      // The window is gone: nobody can answer a box any more.
      std::fprintf(stderr, "%s\n", text);
      return;
    }
    waiting_.push_back(request);
  }
  // Queued, never blocking: the GUI thread may be waiting for this very
  // thread to end, and shows the box from the events it keeps dispatching.
  // Only a wake-up crosses Qt's event queue; the request itself is handed
  // over under mu_.
  QMetaObject::invokeMethod(this, "ShowWaiting", Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(request->mu);
  request->cv.wait(lock, [&request] { return request->answered; });
}

void GuiErrorSink::ShowWaiting() {
  for (;;) {
    std::shared_ptr<Request> next;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& request : waiting_) {
        if (!request->taken) {
          request->taken = true;
          next = request;
          break;
        }
      }
    }
    if (!next) return;
    ShowBox(next->text);
    Answer(next);
  }
}

void GuiErrorSink::Answer(const std::shared_ptr<Request>& request) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), request), waiting_.end());
  }
  {
    std::lock_guard<std::mutex> lock(request->mu);
    request->answered = true;
  }
  request->cv.notify_all();
}

int GuiErrorSink::Waiting() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(waiting_.size());
}
