// A thread with its own message queue and one repeating timer, on an Asio
// io_context run by a std::thread.
#include "protocol/msg_thread.h"

// Asio orders its handler hand-off with std::atomic_thread_fence, which GCC
// flags under ThreadSanitizer; the race detector itself reports nothing here.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

struct MsgThread::Impl {
  asio::io_context io;
  // Keeps run() going while the queue is empty; the loop ends only through
  // PostQuit (io.stop()).
  asio::executor_work_guard<asio::io_context::executor_type> work{
      io.get_executor()};
  asio::steady_timer timer{io};
  std::thread thread;
  bool started = false;

  // True from the moment the loop can take messages until WM_QUIT has been
  // handled; posts outside that window are refused.
  std::atomic<bool> accepting{false};

  // Touched only on the thread itself (SetTimer, KillTimer, expiry).
  uint32_t currentTimer = 0;  // id whose expiries are still wanted; 0 none
  uint32_t lastTimerId = 0;
  std::chrono::milliseconds period{0};
  // When the current timer delivers next. A client restarts its TFTP timer
  // on every block; cancelling and re-arming the wait each time cost a
  // discarded handler and a timerfd update per block. So a restart only
  // moves `due`, and the wait is re-armed only when it would expire too
  // late; an expiry that finds `due` still ahead waits again for the rest.
  std::chrono::steady_clock::time_point due{};
  bool waitPending = false;  // an async_wait on `timer` is outstanding
  uint32_t waitSerial = 0;   // tells the latest wait from replaced ones
};

MsgThread::MsgThread() : impl_(std::make_unique<Impl>()) {}

MsgThread::~MsgThread() {
  // The owner is expected to have ended the thread (PostQuit + WaitForEnd)
  // before deleting it; this only keeps a forgotten thread from taking the
  // process down with std::terminate.
  if (impl_->thread.joinable()) {
    impl_->accepting = false;
    impl_->io.stop();
    if (impl_->thread.get_id() == std::this_thread::get_id())
      impl_->thread.detach();
    else
      impl_->thread.join();
  }
}

bool MsgThread::CreateThread() {
  if (impl_->started) return false;
  std::promise<bool> ready;
  std::future<bool> readyResult = ready.get_future();
  try {
    impl_->thread = std::thread([this, ready = std::move(ready)]() mutable {
      Impl& d = *impl_;
      if (InitInstance()) {
        // Posts made from here on are queued in io and handled by run(),
        // so the creator may post as soon as it learns of the start.
        d.accepting = true;
        ready.set_value(true);
        d.io.run();
      } else {
        ready.set_value(false);
      }
      d.accepting = false;
      ExitInstance();
    });
  } catch (const std::system_error&) {
    return false;
  }
  impl_->started = true;
  return readyResult.get();
}

bool MsgThread::PostThreadMessage(uint32_t msg, std::vector<uint8_t> payload) {
  if (!impl_->accepting.load()) return false;
  try {
    // The payload travels with the handler and is released on the thread
    // once the handler has run.
    asio::post(impl_->io, [this, msg, data = std::move(payload)]() {
      OnThreadMessage(msg, data.data(), data.size());
    });
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void MsgThread::PostQuit() {
  if (!impl_->accepting.load()) return;
  try {
    asio::post(impl_->io, [this]() {
      Impl& d = *impl_;
      d.accepting = false;
      d.currentTimer = 0;
      d.timer.cancel();
      // Whatever was posted after the quit is discarded with the queue.
      d.io.stop();
    });
  } catch (const std::exception&) {
    // Without the quit handler the loop would run forever; stopping the
    // context directly still ends it, only without finishing the queue.
    impl_->accepting = false;
    impl_->io.stop();
  }
}

void MsgThread::WaitForEnd() {
  if (impl_->thread.joinable() &&
      impl_->thread.get_id() != std::this_thread::get_id())
    impl_->thread.join();
}

uint32_t MsgThread::SetTimer(uint32_t ms) {
  Impl& d = *impl_;
  if (!d.accepting.load()) return 0;
  uint32_t id = ++d.lastTimerId;
  if (id == 0) id = ++d.lastTimerId;  // 0 means "no timer"
  d.currentTimer = id;
  d.period = std::chrono::milliseconds(ms);
  d.due = std::chrono::steady_clock::now() + d.period;

  // A repeating timer: once `due` is reached, the next one (a period on) is
  // set before WM_TIMER is handled, so a handler that stops or replaces the
  // timer overrides it. An expiry that finds no timer current (stopped, even
  // after it had already expired and was queued) does nothing; one that
  // finds `due` ahead (restarted meanwhile) only waits again.
  struct Expiry {
    MsgThread* self;
    uint32_t serial;

    static void Arm(MsgThread* self, std::chrono::steady_clock::time_point at) {
      Impl& d = *self->impl_;
      d.waitPending = false;
      // A wait still pending completes as aborted, with a stale serial.
      d.timer.expires_at(at);
      d.timer.async_wait(Expiry{self, ++d.waitSerial});
      d.waitPending = true;
    }

    void operator()(const std::error_code& ec) const {
      Impl& d = *self->impl_;
      if (serial != d.waitSerial) return;  // replaced by a later wait
      d.waitPending = false;
      if (ec || d.currentTimer == 0) return;
      const auto now = std::chrono::steady_clock::now();
      const bool reached = now >= d.due;
      if (reached) d.due = now + d.period;
      try {
        Arm(self, d.due);
      } catch (const std::exception&) {
        d.currentTimer = 0;  // cannot wait again: this expiry is the last
      }
      if (reached) self->OnTimerMessage();
    }
  };
  try {
    if (!d.waitPending || d.timer.expiry() > d.due) Expiry::Arm(this, d.due);
  } catch (const std::exception&) {
    d.currentTimer = 0;
    return 0;
  }
  return id;
}

void MsgThread::KillTimer(uint32_t id) {
  Impl& d = *impl_;
  if (id == 0 || id != d.currentTimer) return;
  // The wait stays pending: it serves the next SetTimer, or finds no timer
  // current and ends quietly.
  d.currentTimer = 0;
}
