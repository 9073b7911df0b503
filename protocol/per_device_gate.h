// A gate that lets a line about a device through at most once per interval:
// a device that keeps asking while the server cannot serve it is named
// once a minute, not at every request.
#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>

class PerDeviceGate {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PerDeviceGate(Clock::duration interval) : interval_(interval) {}

  /// True when nothing about `mac` went through in the `interval` before
  /// `now`; then `now` counts as its latest. Also true when no memory is
  /// left to remember it: a line too many beats a line lost.
  bool Allow(const uint8_t mac[6], Clock::time_point now);

  /// Forgets every device.
  void Clear() { last_.clear(); }

  /// Devices remembered now (those let through in about the last two
  /// intervals).
  size_t Size() const { return last_.size(); }

 private:
  Clock::duration interval_;
  std::unordered_map<uint64_t, Clock::time_point> last_;
  Clock::time_point lastPrune_{};
};
