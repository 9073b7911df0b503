// A thread with its own message queue and one repeating timer: a pthread
// waiting on a condition variable until a message arrives or its timer's
// deadline on the steady clock passes. A client in flight holds no
// descriptor for it, and an ended one holds nothing at all.
#include "protocol/msg_thread.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <utility>

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

// A thread that expects a message within microseconds polls its queue this
// long before it sleeps. A sleeping thread's wake-up (the poster's futex
// call, the scheduler bringing it back on a possibly idle CPU) is most of a
// hand-over; a TFTP block's ACK comes back some 20-40 us after its DATA.
constexpr auto kSpinTime = std::chrono::microseconds(50);

// How many threads of the process may poll at once: one core fewer than are
// online, so that the capture thread and the rest of the machine always keep
// one. With one core, none polls.
int SpinSlots() {
  static const int slots = [] {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1 ? static_cast<int>(online - 1) : 0;
  }();
  return slots;
}
std::atomic<int> gSpinning{0};

// Messages queued and not yet taken, over every thread of the process. A
// thread polls only while this is 0 and stops as soon as it is not: when
// other clients have work, the core it would hold is theirs (with eight
// transfers at once, polling halved the rate).
std::atomic<int64_t> gQueued{0};

// Whether the machine has a core nobody wants: the tasks runnable besides
// the reader (the fourth field of /proc/loadavg counts them, the reader
// included) leave at least one core online free. A poll on a busy machine only takes a core from
// someone else, the device's TFTP peer or our capture thread among them, and
// slows the very transfer it is for. Read at most every kIdleCheck, by
// whichever thread finds the reading stale.
constexpr auto kIdleCheck = std::chrono::milliseconds(20);
std::atomic<int64_t> gIdleCheckedAt{0};  // steady clock, ns; 0 never
std::atomic<bool> gCoreSpare{false};

bool CoreSpare() {
  const int64_t now = Clock::now().time_since_epoch().count();
  int64_t last = gIdleCheckedAt.load(std::memory_order_relaxed);
  if (last != 0 && now - last < std::chrono::nanoseconds(kIdleCheck).count())
    return gCoreSpare.load(std::memory_order_relaxed);
  if (!gIdleCheckedAt.compare_exchange_strong(last, now, std::memory_order_relaxed))
    return gCoreSpare.load(std::memory_order_relaxed);
  bool spare = false;
  const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char text[128];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n > 0) {
      text[n] = '\0';
      double l1, l5, l15;
      int running = 0, total = 0;
      if (std::sscanf(text, "%lf %lf %lf %d/%d", &l1, &l5, &l15, &running, &total) == 5)
        spare = running <= static_cast<int>(SpinSlots()) + 1;
    }
  }
  gCoreSpare.store(spare, std::memory_order_relaxed);
  return spare;
}

std::atomic<bool> gPollOnBusyMachine{false};

// Takes a polling slot; false when all are in use or no core is spare.
bool TakeSpinSlot() {
  if (!gPollOnBusyMachine.load(std::memory_order_relaxed) && !CoreSpare()) return false;
  const int slots = SpinSlots();
  int now = gSpinning.load(std::memory_order_relaxed);
  while (now < slots) {
    if (gSpinning.compare_exchange_weak(now, now + 1, std::memory_order_acq_rel))
      return true;
  }
  return false;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void MsgThreadPollOnBusyMachineForTest(bool always) {
  gPollOnBusyMachine.store(always, std::memory_order_relaxed);
}

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
    gQueued.fetch_sub(static_cast<int64_t>(queue.size()), std::memory_order_relaxed);
  }
  bool accepting = false;   // from the start of the loop until its end
  bool quitNow = false;     // end at once, without finishing the queue
  Start start = Start::kPending;

  // The owner's side.
  pthread_t thread{};
  bool joinable = false;
  std::atomic<bool> ended{false};

  // Touched only on the thread itself: the loop, SetTimer, KillTimer,
  // EndLoop (so they need no lock among themselves).
  bool inLoop = false;
  bool endLoop = false;
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
  const bool ok = self->InitInstance();
  {
    std::lock_guard<std::mutex> lock(d.mu);
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
    {
      std::unique_lock<std::mutex> lock(d.mu);
      for (;;) {
        if (d.quitNow) break;
        if (d.currentTimer != 0 && !d.expiryQueued) {
          const Clock::time_point now = Clock::now();
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
          gQueued.fetch_sub(1, std::memory_order_relaxed);
          break;
        }
        if (ExpectsMessageSoon() && gQueued.load(std::memory_order_relaxed) == 0 &&
            TakeSpinSlot()) {
          // Poll outside the lock, so that a post never waits for us; it
          // finds no sleeper and makes no wake-up call. Whatever ends the
          // poll, the checks above run again under the lock.
          const uint64_t before = d.posted;
          lock.unlock();
          Clock::time_point until = Clock::now() + kSpinTime;
          if (d.currentTimer != 0 && d.due < until) until = d.due;
          for (int i = 0; d.postedSeen.load(std::memory_order_acquire) == before; ++i) {
            if (gQueued.load(std::memory_order_relaxed) != 0 &&
                d.postedSeen.load(std::memory_order_acquire) == before)
              break;  // work for another thread: give it the core
            CpuRelax();
            if ((i & 15) == 15 && Clock::now() >= until) break;
          }
          gSpinning.fetch_sub(1, std::memory_order_release);
          lock.lock();
          if (d.posted != before || d.quitNow) continue;
        }
        if (d.currentTimer != 0)
          d.wake.wait_until(lock, d.due);
        else
          d.wake.wait(lock);
      }
      if (d.quitNow || (!timer && m.msg == WM_QUIT)) {
        // Whatever was posted after the quit is dropped with the queue.
        d.accepting = false;
        gQueued.fetch_sub(static_cast<int64_t>(d.queue.size()), std::memory_order_relaxed);
        d.queue.clear();
        break;
      }
    }
    if (timer)
      OnTimerMessage();
    else
      OnThreadMessage(m.msg, m.data.data(), m.data.size());
    if (d.endLoop) {
      std::lock_guard<std::mutex> lock(d.mu);
      d.accepting = false;
      gQueued.fetch_sub(static_cast<int64_t>(d.queue.size()), std::memory_order_relaxed);
      d.queue.clear();
      break;
    }
  }
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
    gQueued.fetch_add(1, std::memory_order_relaxed);
    d->postedSeen.store(d->posted, std::memory_order_release);
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
      gQueued.fetch_add(1, std::memory_order_relaxed);
      d->postedSeen.store(d->posted, std::memory_order_release);
    } catch (const std::bad_alloc&) {
      // Without its place in the queue the quit still ends the loop, only
      // without finishing the messages before it.
      d->accepting = false;
      d->quitNow = true;
    }
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
