// The once-per-interval gate for lines about a device: see per_device_gate.h.
#include "protocol/per_device_gate.h"

#include <new>

bool PerDeviceGate::Allow(const uint8_t mac[6], Clock::time_point now) {
  // Entries older than an interval decide nothing any more; dropping them
  // once an interval keeps the memory to the devices failing lately.
  if (now - lastPrune_ >= interval_) {
    std::erase_if(last_, [&](const auto& e) { return now - e.second >= interval_; });
    lastPrune_ = now;
  }
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  try {
    auto [it, inserted] = last_.try_emplace(key, now);
    if (inserted) return true;
    if (now - it->second < interval_) return false;
    it->second = now;
    return true;
  } catch (const std::bad_alloc&) {
    return true;
  }
}
