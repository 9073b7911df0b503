// A thread with its own message queue and one repeating timer: a pthread
// waiting on a condition variable until a message arrives or its timer's
// deadline on the steady clock passes, after polling its queue briefly when
// it expects a message soon and a core is spare; or, when the subclass
// names a descriptor, in ppoll() on it, woken for a post by a signal. A
// client in flight holds no descriptor for the queue, and an ended one holds
// nothing at all.
#include "protocol/msg_thread.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <utility>

#include "protocol/poll_budget.h"

namespace {

using Clock = std::chrono::steady_clock;

// The handlers build their frames and lines on the stack, a few KiB deep at
// most. The default stack (8 MiB, from the stack limit) costs no memory
// until touched, but it is address space and, under strict overcommit,
// commit charge: a thousand clients would ask for 8 GiB of it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackBytes = 1024 * 1024;  // the sanitizers' frames are larger
#else
constexpr size_t kStackBytes = 256 * 1024;
#endif

enum class Start { kPending, kRunning, kRefused };

// Wakes a thread asleep in ppoll() on its descriptor when something is
// posted to it. Blocked on every MsgThread except during that wait and sent
// to one thread at a time, so it reaches no other code; the handler only
// has to exist for the wait to end.
int WakeSignal() { return SIGRTMIN + 4; }
void OnWakeSignal(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = OnWakeSignal;
    sigemptyset(&action.sa_mask);
    sigaction(WakeSignal(), &action, nullptr);
  });
}

bool ReadableNow(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

}  // namespace

struct MsgThread::Impl {
  struct Message {
    uint32_t msg = 0;
    uint64_t serial = 0;  // posting order
    std::vector<uint8_t> data;
  };

  std::mutex mu;
  std::condition_variable wake;     // the thread waits here for work
  std::condition_variable started;  // the creator waits here for the start

  // Guarded by mu.
  std::deque<Message> queue;
  uint64_t posted = 0;      // serial of the last message queued
  // A copy of `posted`, stored under mu, read without it by the thread
  // while it polls before sleeping.
  std::atomic<uint64_t> postedSeen{0};

  ~Impl() {
    poll_budget::Taken(queue.size());
  }
  bool accepting = false;   // from the start of the loop until its end
  bool quitNow = false;     // end at once, without finishing the queue
  Start start = Start::kPending;
  // The thread waits in ppoll() on its descriptor: a post must signal it.
  bool sleepingOnFd = false;
  pthread_t self{};  // the thread's own id, stored by it before it accepts

  // The owner's side.
  pthread_t thread{};
  bool joinable = false;
  std::atomic<bool> ended{false};

  // Touched only on the thread itself: the loop, SetTimer, KillTimer,
  // EndLoop (so they need no lock among themselves).
  bool inLoop = false;
  bool endLoop = false;
  bool inFlight = false;  // counted by poll_budget::InFlight
  uint32_t currentTimer = 0;  // id whose expiries are still wanted; 0 none
  uint32_t lastTimerId = 0;
  Clock::duration period{};
  // When the current timer delivers next. A client restarts its TFTP timer
  // on every block; a restart only moves this deadline (no system call),
  // and the loop's next wait uses whatever it is then.
  Clock::time_point due{};
  // An expiry the loop has noticed. It takes its place in the queue as if
  // posted at that moment: behind every message already queued, ahead of
  // every later one. Stopping or replacing the timer withdraws it, so a
  // stopped timer never delivers, even after it had expired.
  bool expiryQueued = false;
  uint64_t expiryBehind = 0;  // handled once messages up to this serial are
  sigset_t waitMask{};  // the thread's signal mask without the wake signal

  // Under mu: a thread asleep on its descriptor learns of a post.
  void WakeFromDescriptor() {
    if (!sleepingOnFd) return;
    sleepingOnFd = false;
    pthread_kill(self, WakeSignal());
  }
};

MsgThread::MsgThread() : impl_(std::make_unique<Impl>()) {}

MsgThread::~MsgThread() {
  Impl* d = impl_.get();
  if (!d || !d->joinable) return;
  // The owner is expected to have ended the thread (PostQuit + WaitForEnd)
  // before deleting it; this only keeps a forgotten thread from running on
  // into a freed object.
  {
    std::lock_guard<std::mutex> lock(d->mu);
    d->accepting = false;
    d->quitNow = true;
    d->WakeFromDescriptor();
  }
  d->wake.notify_all();
  if (pthread_equal(d->thread, pthread_self())) {
    pthread_detach(d->thread);
    (void)impl_.release();  // the thread still runs on it
  } else {
    pthread_join(d->thread, nullptr);
  }
}

bool MsgThread::CreateThread(int* error) {
  if (error) *error = 0;
  Impl* d = impl_.get();
  if (!d || d->joinable) return false;
  InstallWakeHandler();
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    pthread_attr_setstacksize(&attr, kStackBytes);
    rc = pthread_create(&d->thread, &attr, &MsgThread::ThreadMain, this);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    if (error) *error = rc;
    return false;
  }
  d->joinable = true;
  // Posts are taken from the moment the thread says it runs, so the
  // creator may post as soon as this returns.
  std::unique_lock<std::mutex> lock(d->mu);
  d->started.wait(lock, [d] { return d->start != Start::kPending; });
  return d->start == Start::kRunning;
}

void* MsgThread::ThreadMain(void* arg) {
  auto* self = static_cast<MsgThread*>(arg);
  Impl& d = *self->impl_;
  sigset_t wakeOnly;
  sigemptyset(&wakeOnly);
  sigaddset(&wakeOnly, WakeSignal());
  pthread_sigmask(SIG_BLOCK, &wakeOnly, &d.waitMask);
  sigdelset(&d.waitMask, WakeSignal());
  const bool ok = self->InitInstance();
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.self = pthread_self();
    d.accepting = ok;
    d.start = ok ? Start::kRunning : Start::kRefused;
  }
  d.started.notify_all();
  if (ok) self->RunLoop();
  self->ExitInstance();
  d.ended.store(true, std::memory_order_release);
  self->OnThreadEnded();
  return nullptr;
}

void MsgThread::RunLoop() {
  Impl& d = *impl_;
  d.inLoop = true;
  for (;;) {
    Impl::Message m;
    bool timer = false;
    bool readable = false;
    {
      std::unique_lock<std::mutex> lock(d.mu);
      for (;;) {
        if (d.quitNow) break;
        const int fd = WaitDescriptor();
        if (d.currentTimer != 0 && !d.expiryQueued) {
          const Clock::time_point now = Clock::now();
          if (now >= d.due && fd >= 0 && ReadableNow(fd)) {
            // What the descriptor holds came before the expiry, as a
            // message queued before it would.
            readable = true;
            break;
          }
          if (now >= d.due) {
            d.expiryQueued = true;
            d.expiryBehind = d.posted;
            // Repeating: the next expiry a period on, unless the handler
            // stops or replaces the timer.
            d.due = now + d.period;
          }
        }
        if (d.expiryQueued &&
            (d.queue.empty() || d.queue.front().serial > d.expiryBehind)) {
          d.expiryQueued = false;
          timer = true;
          break;
        }
        if (!d.queue.empty()) {
          m = std::move(d.queue.front());
          d.queue.pop_front();
          poll_budget::Taken(1);
          break;
        }
        const bool soon = ExpectsMessageSoon();
        if (soon != d.inFlight) {
          d.inFlight = soon;
          poll_budget::InFlight(soon);
        }
        if (soon && !poll_budget::WorkQueued() && poll_budget::TakeSlot()) {
          // Poll outside the lock, so that a post never waits for us; it
          // finds no sleeper and makes no wake-up call. Whatever ends the
          // poll, the checks above run again under the lock.
          const uint64_t before = d.posted;
          lock.unlock();
          Clock::time_point until = Clock::now() + poll_budget::kPollTime;
          if (d.currentTimer != 0 && d.due < until) until = d.due;
          bool seen = false;
          for (int i = 0; d.postedSeen.load(std::memory_order_acquire) == before; ++i) {
            if (poll_budget::WorkQueued() &&
                d.postedSeen.load(std::memory_order_acquire) == before)
              break;  // work for another thread: give it the core
            // A look at the descriptor is a system call: every fourth turn.
            if (fd >= 0 && (i & 3) == 0 && ReadableNow(fd)) {
              seen = true;
              break;
            }
            poll_budget::CpuRelax();
            if ((i & 15) == 15 && Clock::now() >= until) break;
          }
          poll_budget::GiveSlot();
          lock.lock();
          if (d.posted != before || d.quitNow) continue;
          if (seen) {
            readable = true;
            break;
          }
        }
        if (fd >= 0) {
          timespec left{};
          if (d.currentTimer != 0) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                d.due - Clock::now())
                                .count();
            if (ns > 0) {
              left.tv_sec = static_cast<time_t>(ns / 1000000000);
              left.tv_nsec = static_cast<long>(ns % 1000000000);
            }
          }
          d.sleepingOnFd = true;
          lock.unlock();
          // A post between the unlock and the wait leaves the signal
          // pending; ppoll() lets it in at once and returns.
          pollfd p{fd, POLLIN, 0};
          const int ready =
              ppoll(&p, 1, d.currentTimer != 0 ? &left : nullptr, &d.waitMask);
          lock.lock();
          d.sleepingOnFd = false;
          if (ready > 0) {
            readable = true;
            break;
          }
          continue;
        }
        if (d.currentTimer != 0)
          d.wake.wait_until(lock, d.due);
        else
          d.wake.wait(lock);
      }
      if (d.quitNow || (!timer && m.msg == WM_QUIT)) {
        // Whatever was posted after the quit is dropped with the queue.
        d.accepting = false;
        poll_budget::Taken(d.queue.size());
        d.queue.clear();
        break;
      }
    }
    if (timer)
      OnTimerMessage();
    else if (readable)
      OnDescriptorReadable();
    else
      OnThreadMessage(m.msg, m.data.data(), m.data.size());
    if (d.endLoop) {
      std::lock_guard<std::mutex> lock(d.mu);
      d.accepting = false;
      poll_budget::Taken(d.queue.size());
      d.queue.clear();
      break;
    }
  }
  if (d.inFlight) poll_budget::InFlight(false);
  d.inFlight = false;
  d.inLoop = false;
  d.currentTimer = 0;
  d.expiryQueued = false;
}

bool MsgThread::PostThreadMessage(uint32_t msg, std::vector<uint8_t> payload) {
  Impl* d = impl_.get();
  if (!d) return false;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    if (!d->accepting) return false;
    try {
      // The payload travels with the message and is released on the
      // thread once the handler has run.
      d->queue.push_back(Impl::Message{msg, d->posted + 1, std::move(payload)});
    } catch (const std::bad_alloc&) {
      return false;
    }
    ++d->posted;
    poll_budget::Queued();
    d->postedSeen.store(d->posted, std::memory_order_release);
    d->WakeFromDescriptor();
  }
  d->wake.notify_one();
  return true;
}

void MsgThread::PostQuit() {
  Impl* d = impl_.get();
  if (!d) return;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    if (!d->accepting) return;
    try {
      d->queue.push_back(Impl::Message{WM_QUIT, d->posted + 1, {}});
      ++d->posted;
      poll_budget::Queued();
      d->postedSeen.store(d->posted, std::memory_order_release);
    } catch (const std::bad_alloc&) {
      // Without its place in the queue the quit still ends the loop, only
      // without finishing the messages before it.
      d->accepting = false;
      d->quitNow = true;
    }
    d->WakeFromDescriptor();
  }
  d->wake.notify_one();
}

void MsgThread::WaitForEnd() {
  Impl* d = impl_.get();
  if (!d || !d->joinable || pthread_equal(d->thread, pthread_self())) return;
  pthread_join(d->thread, nullptr);
  d->joinable = false;
  impl_.reset();
}

bool MsgThread::Ended() const {
  return !impl_ || impl_->ended.load(std::memory_order_acquire);
}

void MsgThread::EndLoop() {
  if (impl_) impl_->endLoop = true;
}

uint32_t MsgThread::SetTimer(uint32_t ms) {
  Impl* d = impl_.get();
  if (!d || !d->inLoop) return 0;
  uint32_t id = ++d->lastTimerId;
  if (id == 0) id = ++d->lastTimerId;  // 0 means "no timer"
  d->currentTimer = id;
  d->expiryQueued = false;  // an expiry of the timer it replaces
  d->period = std::chrono::milliseconds(ms);
  d->due = Clock::now() + d->period;
  return id;
}

void MsgThread::KillTimer(uint32_t id) {
  Impl* d = impl_.get();
  if (!d || id == 0 || id != d->currentTimer) return;
  d->currentTimer = 0;
  d->expiryQueued = false;
}
