// The verbs front ends sent, waiting for the run's own thread to carry them
// out: taken when its descriptor is readable, so the run's loop waits for
// them beside its other descriptors.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <mutex>

#include "remote/messages.h"

/// One verb of one front end, or (`gone`) the news that an own engine's
/// front end has gone.
struct FrontRequest {
  uint32_t connection = 0;
  remote::FrontMessage message;
  bool gone = false;
};

class RequestQueue {
 public:
  RequestQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~RequestQueue() {
    if (fd_ >= 0) close(fd_);
  }
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  /// Readable while requests wait.
  int fd() const { return fd_; }

  void Push(FrontRequest request) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(request));
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
  }

  /// The oldest request; false when none waits.
  bool Pop(FrontRequest* request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) {
      uint64_t count;
      [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
      return false;
    }
    *request = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }

 private:
  int fd_;
  std::mutex mu_;
  std::deque<FrontRequest> queue_;
};
