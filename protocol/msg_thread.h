// A thread with its own message queue and one repeating timer: the platform
// that every client thread runs on (a pthread, a mutex, a condition
// variable and a steady-clock deadline; no descriptor of its own), and
// optionally one descriptor of the subclass's waited on beside the queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_SKAV_MSG = WM_USER + 1;  // 1025
constexpr uint32_t WM_IP_PKT = WM_USER + 2;    // 1026

class MsgThread {
 public:
  MsgThread();
  virtual ~MsgThread();
  MsgThread(const MsgThread&) = delete;
  MsgThread& operator=(const MsgThread&) = delete;

  /// Starts the thread; returns once it can receive posted messages.
  /// false when the thread could not be started (`*error`, when given,
  /// then holds the system's error number, or 0 when InitInstance refused).
  bool CreateThread(int* error = nullptr);

  /// Queues a message with an owned payload; never waits for the thread.
  /// false when the thread is not running (or no memory is left for the
  /// queue). Not to be called while another thread runs WaitForEnd.
  bool PostThreadMessage(uint32_t msg, std::vector<uint8_t> payload);

  /// The loop ends after the messages posted before this one; then
  /// ExitInstance runs on the thread.
  void PostQuit();

  /// Waits, without a time limit, until the thread has ended, then releases
  /// its queue, its timer and its stack: an ended thread costs nothing but
  /// the object.
  void WaitForEnd();

  /// True once the thread has run its course (its loop and ExitInstance):
  /// WaitForEnd then waits for nothing but the thread's exit.
  bool Ended() const;

  /// Starts a repeating timer of `ms` on this thread's queue. Returns a
  /// fresh non-zero id, 0 on failure. Call on the thread itself.
  virtual uint32_t SetTimer(uint32_t ms);

  /// Stops timer `id`; a stopped timer never delivers again, even if it
  /// had already expired. Call on the thread itself.
  virtual void KillTimer(uint32_t id);

 protected:
  /// Runs on the new thread before the loop; false ends the thread.
  virtual bool InitInstance() { return true; }
  /// Runs on the thread after the loop ends.
  virtual int ExitInstance() { return 0; }
  /// Runs on the thread as its last act, once Ended() holds.
  virtual void OnThreadEnded() {}
  /// Handles one posted message (1025, 1026, ...), in posting order.
  virtual void OnThreadMessage(uint32_t msg, const uint8_t* data,
                               size_t len) = 0;
  /// Handles WM_TIMER.
  virtual void OnTimerMessage() = 0;
  /// Asked on the thread before it goes to sleep with an empty queue: true
  /// when a message is due within microseconds (a transfer waits for its
  /// next block), so that it is worth polling the queue briefly first, as
  /// long as a core is spare (see poll_budget.h).
  virtual bool ExpectsMessageSoon() const { return false; }
  /// A descriptor the thread waits on beside its queue while the queue is
  /// empty, or -1: asked on the thread before every wait. A post wakes a
  /// thread asleep on it with a signal of its own, so no descriptor is
  /// needed for the queue.
  virtual int WaitDescriptor() const { return -1; }
  /// Runs on the thread when WaitDescriptor's descriptor is readable (or
  /// has an error to report).
  virtual void OnDescriptorReadable() {}

  /// Called by a handler on the thread: the loop ends as soon as that
  /// handler returns, and whatever is still queued is dropped.
  void EndLoop();

 private:
  struct Impl;
  static void* ThreadMain(void* self);
  void RunLoop();

  std::unique_ptr<Impl> impl_;
};
