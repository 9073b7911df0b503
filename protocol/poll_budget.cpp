// When a client thread may poll its queue before it sleeps: one fewer
// pollers than cores online, none while more transfers are in flight than
// that or a message waits anywhere in the process, and none while the
// machine's runnable tasks leave no core free.
#include "protocol/poll_budget.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// One core fewer than are online, so that the capture thread always has
// one. With one core, nobody polls.
int Slots() {
  static const int slots = [] {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1 ? static_cast<int>(online - 1) : 0;
  }();
  return slots;
}

std::atomic<int> gPolling{0};

// Messages queued and not yet taken, over every thread of the process. With
// eight transfers at once, a poller that held its core while other clients
// had work halved their rate.
std::atomic<int64_t> gQueued{0};
// Transfers in flight. With more of them than spare cores, every core is
// wanted by one of them or by its device's side, and a transfer that reads
// its socket is woken by the system without a message queued anywhere: a
// thousand devices with one poller among them were served at four fifths
// of the rate, for a fifth more CPU per MiB.
std::atomic<int> gInFlight{0};

// The machine has a core nobody wants when the tasks runnable besides the
// reader and the capture thread leave at least one core online free. The
// fourth field of /proc/loadavg counts them, the reader included, and at
// the moment a client reads it the capture thread that has just handed it
// an ACK is often still on its way back to sleep: counting it as a stranger
// kept one transfer on a quiet two-core machine from ever polling. A poll on a busy machine
// only takes a core from someone else, the device's TFTP peer or our
// capture thread among them, and slows the very transfer it is for. Read at
// most every kIdleCheck, by whichever thread finds the reading stale; a
// reading that fails (no descriptor left) counts as busy.
constexpr auto kIdleCheck = std::chrono::milliseconds(20);
std::atomic<int64_t> gIdleCheckedAt{0};  // steady clock, ns; 0 never
std::atomic<bool> gCoreSpare{false};
std::atomic<bool> gPollOnBusyMachine{false};

bool ReadCoreSpare() {
  const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[128];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  double l1, l5, l15;
  int running = 0, total = 0;
  if (std::sscanf(text, "%lf %lf %lf %d/%d", &l1, &l5, &l15, &running, &total) != 5)
    return false;
  return running <= Slots() + 2;
}

bool CoreSpare() {
  const int64_t now = Clock::now().time_since_epoch().count();
  int64_t last = gIdleCheckedAt.load(std::memory_order_relaxed);
  if (last != 0 && now - last < std::chrono::nanoseconds(kIdleCheck).count())
    return gCoreSpare.load(std::memory_order_relaxed);
  if (!gIdleCheckedAt.compare_exchange_strong(last, now, std::memory_order_relaxed))
    return gCoreSpare.load(std::memory_order_relaxed);
  const bool spare = ReadCoreSpare();
  gCoreSpare.store(spare, std::memory_order_relaxed);
  return spare;
}

}  // namespace

namespace poll_budget {

bool TakeSlot() {
  if (!gPollOnBusyMachine.load(std::memory_order_relaxed) &&
      (gInFlight.load(std::memory_order_relaxed) > Slots() || !CoreSpare()))
    return false;
  const int slots = Slots();
  int now = gPolling.load(std::memory_order_relaxed);
  while (now < slots) {
    if (gPolling.compare_exchange_weak(now, now + 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}

void GiveSlot() { gPolling.fetch_sub(1, std::memory_order_release); }

void Queued() { gQueued.fetch_add(1, std::memory_order_relaxed); }

void Taken(size_t n) {
  if (n != 0) gQueued.fetch_sub(static_cast<int64_t>(n), std::memory_order_relaxed);
}

bool WorkQueued() { return gQueued.load(std::memory_order_relaxed) != 0; }

void InFlight(bool begins) { gInFlight.fetch_add(begins ? 1 : -1, std::memory_order_relaxed); }

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace poll_budget

void MsgThreadPollOnBusyMachineForTest(bool always) {
  gPollOnBusyMachine.store(always, std::memory_order_relaxed);
}
