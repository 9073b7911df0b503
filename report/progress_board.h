// The clients of a run as a reader on another thread sees them: each one's
// fixed facts and its live block, published by the server thread once a
// cycle, so that a reader never walks the server's own list.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "report/device_live.h"

/// One client of the run.
struct ProgressRow {
  uint8_t mac[6] = {};
  uint32_t ipAddr = 0;  ///< network order
  bool firmwareOffered = false;
  uint32_t stMask = 0;
  std::shared_ptr<const DeviceLive> live;
};

/// Rows handed from the server thread to readers: a copy each way under a
/// lock held for the copy alone (never on the transfer path).
class ProgressBoard {
 public:
  /// Set by a front end that reads the board; the server thread publishes
  /// only then.
  std::atomic<bool> wanted{false};

  void Publish(std::vector<ProgressRow> rows) {
    std::lock_guard<std::mutex> lock(mu_);
    rows_.swap(rows);
  }
  std::vector<ProgressRow> Rows() const {
    std::lock_guard<std::mutex> lock(mu_);
    return rows_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<ProgressRow> rows_;
};
