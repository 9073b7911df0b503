// The Debug Window's queue: one string under one lock.
#include "console/gui/debug_log_queue.h"

void DebugLogQueue::Append(const char* text, size_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!open_) return;
  if (pending_.size() + len > kMaxPending) {
    dropped_ += len;
    return;
  }
  pending_.append(text, len);
}

void DebugLogQueue::Open() {
  std::lock_guard<std::mutex> lock(mu_);
  open_ = true;
  pending_.clear();
  dropped_ = 0;
}

void DebugLogQueue::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  open_ = false;
  // Give the memory back: a closed window may stay closed for long.
  std::string().swap(pending_);
  dropped_ = 0;
}

std::string DebugLogQueue::Take(size_t* dropped) {
  std::string batch;
  std::lock_guard<std::mutex> lock(mu_);
  batch.swap(pending_);
  if (dropped != nullptr) *dropped = dropped_;
  dropped_ = 0;
  return batch;
}
