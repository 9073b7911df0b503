// The server as a bench service runs it, for the benchmarks: skav-server
// --headless as a process of its own in a namespace, and a front end
// attached to its bench socket that takes everything a window would
// (Debug Window text, the panel, the progress rows) and counts the bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench_support.h"
#include "bench_server.h"

namespace bench {

/// PROGRAM --headless --settings FILE in `ns`, serving `ifName` with
/// `images`; its standard output read as it comes.
class HeadlessProcess {
 public:
  HeadlessProcess(const std::string& ns, const std::string& program, const std::string& ifName,
                  const ImagePaths& images, const TempDir& dir);
  bool ok() const { return child_ && child_->started(); }
  pid_t pid() const { return child_->pid(); }
  /// Reads its output for up to `ms`.
  void Read(int ms) { child_->Wait(std::chrono::milliseconds(ms)); }
  /// How often `phrase` has appeared in its output so far.
  int Count(const std::string& phrase) const;
  /// Its CPU seconds (user + system, every thread) so far, from /proc.
  double CpuSeconds() const;
  void Stop() { child_->Stop(); }

 private:
  std::unique_ptr<Child> child_;
};

/// A front end on its own thread, attached to the bench socket of
/// `ifName` in `ns`, wanting text, panel and progress.
class FrontEndMeter {
 public:
  FrontEndMeter(const std::string& ns, const std::string& ifName);
  ~FrontEndMeter() { Stop(); }
  void Stop();
  /// Waits up to 10 s until it is attached; false when it never was.
  bool Attached();

  struct Figures {
    uint64_t bytes = 0;
    double seconds = 0;           // from attach to Stop
    uint64_t peakSecondBytes = 0;  // the most in one second
    uint64_t texts = 0, panels = 0, progress = 0, missedTexts = 0;
    uint32_t panelResends = 0, progressResends = 0;
  };
  Figures figures() const;

 private:
  void Run(const std::string& ns, const std::string& ifName);

  std::atomic<bool> stop_{false};
  std::atomic<int> attached_{0};  // 0 not yet, 1 attached, -1 gave up
  mutable std::mutex mu_;
  Figures figures_;
  std::thread thread_;
};

}  // namespace bench
