// An in-process port: frames sent are recorded (or handed to a hook) and
// frames injected are received. Lets the whole server run without a
// network, for unit tests, fuzzing and benchmarks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "link/l2_if.h"

class MemoryPort : public L2_Port {
 public:
  using Frame = std::vector<uint8_t>;

  int Send(const uint8_t* frame, int len) override;
  WaitResult Wait(int ms) override;
  int Dispatch(int count, FrameCallback callback, void* user) override;
  void Break() override;

  /// Queues a frame for the receiver.
  void Inject(Frame frame);
  /// Copy of every frame sent so far, in order.
  std::vector<Frame> Sent() const;
  void ClearSent();
  /// When set, sent frames go to the hook instead of the record.
  void SetSendHook(std::function<void(const uint8_t*, int)> hook);
  /// Makes Send fail (-1) while set.
  void SetSendFailure(bool fail);
  /// Counts Dispatch calls (for the "one dispatch at 0 ms" rule).
  int DispatchCalls() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Frame> rx_;
  std::vector<Frame> sent_;
  std::function<void(const uint8_t*, int)> hook_;
  bool breakPending_ = false;
  bool failSend_ = false;
  int dispatchCalls_ = 0;
};

/// An L2_If over a new MemoryPort with the given MAC; `port` receives a
/// pointer to the port (owned by the interface).
std::unique_ptr<L2_If> MakeMemoryIf(const uint8_t mac[6], MemoryPort** port);
