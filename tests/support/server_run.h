// Helpers for tests that run the server thread or its client table: a
// recording Debug Window, a mirror of the status panel, hand-written
// frames, thread counting and a server run on a context.
#pragma once

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "report/debug_print.h"
#include "report/status_panel.h"
#include "protocol/client_table.h"
#include "protocol/server_thread.h"

namespace server_run {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

/// Polls `done` until it holds or `limit` has passed.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

/// The Debug Window: keeps all text appended, in order.
class TextLog : public LogSink {
 public:
  void Append(const char* text, size_t len) override {
    std::lock_guard<std::mutex> lock(mu_);
    text_.append(text, len);
  }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }
  bool Has(const std::string& part) const {
    return Text().find(part) != std::string::npos;
  }
  int Count(const std::string& part) const { return CountIn(Text(), part); }
  /// How many times `part` occurs in `text`.
  static int CountIn(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos;
         p = text.find(part, p + part.size()))
      ++n;
    return n;
  }

 private:
  mutable std::mutex mu_;
  std::string text_;
};

/// Applies the panel's edits to a copy that the test thread may read.
using PanelMirror = StatusTextMirror;

/// Entries of a /proc folder (the threads of .../task, the descriptors of
/// .../fd); -1 when it cannot be read.
inline int ProcEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

/// Threads of this process right now.
inline int ThreadCount() {
  // ThreadSanitizer's runtime starts a background thread of its own along
  // with the process's first new thread; start and end one thread first so
  // that it is already there in every baseline.
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  return ProcEntries("/proc/self/task");
}

/// ThreadCount once the threads just joined have left the task list: the
/// kernel takes a thread out a moment after its join has returned, so this
/// waits up to a second while the count is above `expected`.
inline int ThreadCountAfterJoins(int expected) {
  for (int i = 0; i < 100 && ThreadCount() > expected; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return ThreadCount();
}

/// An Ethernet frame: destination, source, EtherType, then `payload`.
inline Bytes Frame(const uint8_t dst[6], const uint8_t src[6],
                   uint16_t etherType, std::initializer_list<uint8_t> payload) {
  Bytes f(dst, dst + 6);
  f.insert(f.end(), src, src + 6);
  f.push_back(static_cast<uint8_t>(etherType >> 8));
  f.push_back(static_cast<uint8_t>(etherType & 0xff));
  f.insert(f.end(), payload);
  return f;
}

/// "xx-xx-xx-xx-xx-xx" in lower case, as the Debug Window prints a MAC.
inline std::string MacText(const uint8_t mac[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0],
                mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

inline std::string NewClientLine(const uint8_t mac[6], const char* ip) {
  return "New client: " + MacText(mac) + ", assigned IP: " + ip + "\r\n";
}

/// Runs SKAVDServerThread on `ctx` in a thread of its own; records how
/// many threads the process had when the thread function returned.
class ServerRun {
 public:
  explicit ServerRun(SKAVDContext& ctx) : ctx_(ctx) {
    ctx_.running = 1;
    thread_ = std::thread([this] {
      result_ = SKAVDServerThread(&ctx_);
      threadsAtReturn_ = ThreadCount();
      returned_ = true;
    });
  }
  ~ServerRun() { Stop(); }

  /// What the window does at Stop: running 0, break the wait, wait.
  /// false when the thread had not returned within `limit`.
  bool Stop(bool breakWait = true,
            std::chrono::milliseconds limit = 3000ms) {
    if (!thread_.joinable()) return true;
    ctx_.running = 0;
    if (breakWait) L2_BreakLoop(ctx_.link);
    bool inTime = WaitFor([this] { return returned_.load(); }, limit);
    thread_.join();
    return inTime;
  }
  int result() const { return result_; }
  int threadsAtReturn() const { return threadsAtReturn_; }

 private:
  SKAVDContext& ctx_;
  std::thread thread_;
  std::atomic<bool> returned_{false};
  std::atomic<int> threadsAtReturn_{0};
  int result_ = -1;
};

}  // namespace server_run
