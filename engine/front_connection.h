// One front end's connection to the engine: its bytes in, cut into
// messages, and a bounded queue of bytes out that is written without ever
// waiting for the reader. Used by the engine's front-end thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "remote/frame.h"
#include "remote/messages.h"
#include "report/device_live.h"

class FrontConnection {
 public:
  /// Bytes waiting for a reader beyond which text, panel edits and progress
  /// are dropped (and counted).
  static constexpr size_t kBulkLimit = 1024 * 1024;
  /// Beyond this even replies, errors and news are dropped (and counted).
  static constexpr size_t kQueueLimit = 4 * 1024 * 1024;

  FrontConnection(int fd, uint32_t id) : since(SteadyMs()), fd_(fd), id_(id) {}
  ~FrontConnection();
  FrontConnection(const FrontConnection&) = delete;
  FrontConnection& operator=(const FrontConnection&) = delete;

  int fd() const { return fd_; }
  uint32_t id() const { return id_; }
  size_t Queued() const { return out_.size() - head_; }

  /// Queues encoded messages: bulk ones only below kBulkLimit, the others
  /// below kQueueLimit. False when they were dropped.
  bool Queue(std::string_view bytes, bool bulk);
  /// Queues whatever the size, for a snapshot sent into an empty queue.
  void QueueAnyway(std::string_view bytes) { out_.append(bytes); }

  /// Writes what the socket takes now. False when the peer is gone.
  bool Flush();
  /// Reads what the socket holds now into the frame reader. False when the
  /// peer has closed or the connection failed.
  bool Read();
  remote::FrameReader& In() { return in_; }

  // What the front end asked for and what it has been sent; kept here by
  // the front-end thread.
  const int64_t since;  ///< steady ms when it connected
  bool helloDone = false;
  bool closing = false;  ///< refused: closed once its last bytes are out
  uint8_t want = 0;
  bool panelWhole = false;     ///< the panel goes whole next time
  bool panelDropped = false;   ///< ... because edits were dropped
  bool progressWhole = false;
  bool progressDropped = false;
  bool stateSent = false;
  remote::StateNews lastState;
  remote::Missed missed;
  bool missedUntold = false;
  int pendingRequests = 0;

 private:
  void Compact();

  int fd_;
  uint32_t id_;
  std::string out_;
  size_t head_ = 0;
  remote::FrameReader in_{remote::kFrontMessageMax};
};
