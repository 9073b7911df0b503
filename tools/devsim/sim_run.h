// One run of the simulator: the devices, the frames routed to them, their
// timers, and the end of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devsim/capture.h"
#include "devsim/device.h"
#include "devsim/options.h"

/// Milliseconds of the monotonic clock.
int64_t NowMs();

class SimRun {
 public:
  SimRun(const DevsimOptions& options, Capture& capture);

  /// Creates the devices: base MAC + index, or the interface's own MAC in
  /// kernel TFTP mode.
  bool AddDevices(std::string* error);

  /// Runs until every device has finished, the time is up or `*stop`
  /// becomes non-zero. false on a capture error.
  bool Run(const volatile int* stop);

  const std::vector<std::unique_ptr<SimDevice>>& Devices() const {
    return devices_;
  }
  int64_t WallMs() const { return endMs_ - startMs_; }
  /// From the first ADVERTISE to the last device's end: the busy time.
  int64_t SpanMs() const;
  /// Longest gap between two ADVERTISE frames seen, -1 with fewer than two.
  int64_t LongestAdvertiseGapMs() const { return advGapMax_; }

 private:
  static void OnFrame(void* user, const uint8_t* bytes, uint32_t len);
  void Route(const uint8_t* bytes, uint32_t len);
  SimDevice* Find(const uint8_t mac[6]);
  /// With --at-once: starts waiting devices while fewer than N are at work,
  /// each with the last ADVERTISE seen.
  void Admit(int64_t now);

  const DevsimOptions& opt_;
  Capture& capture_;
  SimContext ctx_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  std::unordered_map<uint64_t, SimDevice*> byMac_;
  int64_t startMs_ = 0;
  int64_t endMs_ = 0;
  int64_t lastAdvertiseMs_ = -1;
  int64_t advGapMax_ = -1;
  // Devices [0, admitted_) have been let loose; the rest wait their turn.
  size_t admitted_ = 0;
  uint8_t advertise_[64] = {};
  uint32_t advertiseLen_ = 0;  // 0: none seen yet
};
