// Post-to-handler time of a sleeping MsgThread: see thread_hop.h.
#include "thread_hop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "bench_support.h"
#include "protocol/msg_thread.h"

namespace bench {

namespace {

constexpr uint32_t kTimerMs = 500;  // the TFTP timer
constexpr size_t kAckFrameBytes = 46;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// CPU time of the calling thread.
int64_t CpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}


// Does what a client thread does with an ACK, apart from the TFTP work:
// takes the message, restarts its timer, and says it is done.
class PingThread : public MsgThread {
 public:
  explicit PingThread(int doneFd) : doneFd_(doneFd) {}
  std::atomic<int64_t> handledNs{0};
  std::atomic<int64_t> restartNs{0};
  std::atomic<int64_t> cpuNs{0};  // the thread's CPU time at its last handler

 protected:
  void OnThreadMessage(uint32_t, const uint8_t*, size_t) override {
    cpuNs.store(CpuNs(), std::memory_order_relaxed);
    const int64_t start = NowNs();
    if (timerId_) KillTimer(timerId_);
    timerId_ = SetTimer(kTimerMs);
    restartNs.store(NowNs() - start, std::memory_order_relaxed);
    handledNs.store(start, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(doneFd_, &one, sizeof one);
  }
  void OnTimerMessage() override {}

 private:
  int doneFd_;
  uint32_t timerId_ = 0;
};

}  // namespace

HopFigures MeasureThreadHop(int count, int gapUs) {
  HopFigures f;
  const int doneFd = eventfd(0, EFD_CLOEXEC);
  if (doneFd < 0) return f;
  {
    // Counted from before the construction: a queue or a timer may take
    // its descriptors there already.
    const int fdsBefore = OpenDescriptors();
    PingThread thread(doneFd);
    if (!thread.CreateThread()) {
      close(doneFd);
      return f;
    }
    f.threadFds = OpenDescriptors() - fdsBefore;
    f.postToHandlerUs.reserve(static_cast<size_t>(count));
    f.timerRestartUs.reserve(static_cast<size_t>(count));
    int64_t postCpu = 0;
    int64_t threadCpu0 = -1;
    for (int i = 0; i < count; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
      const int64_t cpu = CpuNs();
      const int64_t t0 = NowNs();
      // As SKAVDRxFrame does: a copy of the frame travels with the post.
      if (!thread.PostThreadMessage(WM_IP_PKT, std::vector<uint8_t>(kAckFrameBytes)))
        break;
      postCpu += CpuNs() - cpu;
      // The poster sleeps meanwhile, as the server thread does in poll().
      pollfd p{doneFd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      uint64_t v;
      [[maybe_unused]] ssize_t n = read(doneFd, &v, sizeof v);
      f.postToHandlerUs.push_back(
          (thread.handledNs.load(std::memory_order_acquire) - t0) / 1e3);
      f.timerRestartUs.push_back(
          thread.restartNs.load(std::memory_order_relaxed) / 1e3);
      if (threadCpu0 < 0) threadCpu0 = thread.cpuNs.load(std::memory_order_relaxed);
    }
    // From the first handler to the last: one wake-up, handler and sleep
    // per message in between.
    const size_t n = f.postToHandlerUs.size();
    if (n > 1) {
      f.postCpuUs = postCpu / 1e3 / static_cast<double>(n);
      f.threadCpuUs = (thread.cpuNs.load(std::memory_order_relaxed) - threadCpu0) / 1e3 /
                      static_cast<double>(n - 1);
    }
    thread.PostQuit();
    thread.WaitForEnd();
  }
  close(doneFd);
  return f;
}

}  // namespace bench
