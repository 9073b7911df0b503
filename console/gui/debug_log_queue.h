// The Debug Window's LogSink: any thread appends without waiting for the
// GUI thread; the window takes the text in batches.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "report/debug_print.h"

/// Text queued for the Debug Window. Writers hold the lock only to append
/// to one string, so every thread's lines keep the order of its calls and
/// no writer ever waits for the GUI thread.
class DebugLogQueue : public LogSink {
 public:
  /// Bytes kept while the window has not taken them; text beyond is
  /// dropped and counted, so a stalled window cannot exhaust memory.
  static constexpr size_t kMaxPending = 8u << 20;

  /// Any thread. Kept only while the queue is open.
  void Append(const char* text, size_t len) override;

  /// The window opened: text is kept from now on, nothing is pending.
  void Open();
  /// The window closed: text is discarded, also text of writers that read
  /// the slot just before it was emptied.
  void Close();

  /// Takes everything pending, in arrival order. `dropped` receives the
  /// bytes dropped since the last take because the queue was full.
  std::string Take(size_t* dropped);

 private:
  std::mutex mu_;
  std::string pending_;
  size_t dropped_ = 0;
  bool open_ = false;
};
