// In-process port: see memory_port.h.
#include "link/memory_port.h"

#include <chrono>
#include <cstring>

int MemoryPort::Send(const uint8_t* frame, int len) {
  std::function<void(const uint8_t*, int)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (failSend_) return -1;
    if (!hook_) {
      sent_.emplace_back(frame, frame + len);
      return 0;
    }
    hook = hook_;
  }
  hook(frame, len);
  return 0;
}

L2_Port::WaitResult MemoryPort::Wait(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms),
               [this] { return breakPending_ || !rx_.empty(); });
  if (breakPending_) {
    breakPending_ = false;
    return WaitResult::kBroken;
  }
  return rx_.empty() ? WaitResult::kTimeout : WaitResult::kReadable;
}

int MemoryPort::Dispatch(int count, FrameCallback callback, void* user) {
  int delivered = 0;
  std::unique_lock<std::mutex> lock(mu_);
  ++dispatchCalls_;
  while (delivered < count) {
    if (breakPending_) {
      breakPending_ = false;
      return -2;
    }
    if (rx_.empty()) break;
    Frame frame = std::move(rx_.front());
    rx_.pop_front();
    lock.unlock();
    callback(user, frame.data(), static_cast<uint32_t>(frame.size()));
    ++delivered;
    lock.lock();
  }
  return delivered;
}

void MemoryPort::Break() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    breakPending_ = true;
  }
  cv_.notify_all();
}

void MemoryPort::Inject(Frame frame) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    rx_.push_back(std::move(frame));
  }
  cv_.notify_all();
}

std::vector<MemoryPort::Frame> MemoryPort::Sent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

void MemoryPort::ClearSent() {
  std::lock_guard<std::mutex> lock(mu_);
  sent_.clear();
}

void MemoryPort::SetSendHook(std::function<void(const uint8_t*, int)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = std::move(hook);
}

void MemoryPort::SetSendFailure(bool fail) {
  std::lock_guard<std::mutex> lock(mu_);
  failSend_ = fail;
}

int MemoryPort::DispatchCalls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dispatchCalls_;
}

std::unique_ptr<L2_If> MakeMemoryIf(const uint8_t mac[6], MemoryPort** port) {
  auto iface = std::make_unique<L2_If>();
  std::memcpy(iface->mac, mac, 6);
  auto owned = std::make_unique<MemoryPort>();
  if (port) *port = owned.get();
  iface->port = std::move(owned);
  return iface;
}
