// What the operator's records keep of a device the server serves: its MAC,
// address, state and outcome flags. The client that serves the device
// writes it; the Device Status panel, the log file and Clear read it, also
// after the client's thread has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "report/debug_print.h"
#include "report/device_live.h"

enum ClientState : int32_t {
  Ended = 0,
  Created = 1,
  Active = 2,
  TftpUploading = 3,
  Closing = 4,
  Closed = 5,
  TftpSending = 6,
  TftpLastBlock = 7,
};

enum ClientFlag : uint32_t {
  tftpDone = 0x02,
  fwUpgradeDone = 0x04,
  tftpFailed = 0x08,
  gracefulClosing = 0x10,
  /// The frame that created the client did not parse: it never served a
  /// device, so Clear removes it whatever its outcome.
  falseCreation = 0x20,
  /// Not Closed when the run stopped: its outcome is Error.
  interruptedByStop = 0x40,
  /// In Closing (its CLOSE-REQ acknowledged) when the run stopped: its
  /// outcome is the one it would have had once Closed.
  closingAtStop = 0x80,
  outcomeLogged = 0x10000000,
  /// Its line of the JSON Lines record has been written.
  recordWritten = 0x20000000,
  /// Its outcome is in the run's counters (report/run_counters.h).
  outcomeCounted = 0x40000000,
};

enum class Outcome { kReworking, kDone, kError };

/// One device's record, linked into the server's MAC-sorted list. State
/// and flags are written by the client's thread and read by the server
/// thread, each a single word without a lock. They live in the record's
/// live block with the transfer counters, which a reader on any thread may
/// keep (through `live`) after the record itself is gone.
struct DeviceRecord {
  DeviceRecord()
      : live(std::make_shared<DeviceLive>()), state(live->state), flags(live->flags) {}
  DeviceRecord(const DeviceRecord&) = delete;
  DeviceRecord& operator=(const DeviceRecord&) = delete;

  /// Allocated once, with the record; never replaced.
  const std::shared_ptr<DeviceLive> live;
  uint8_t mac[6] = {};
  uint32_t ipAddr = 0;  ///< network order
  std::atomic<int32_t>& state;
  DeviceRecord* next = nullptr;
  std::atomic<uint32_t>& flags;
  uint32_t stMask = 0;           ///< string tables offered: bit k-1 for table k
  bool firmwareOffered = false;  ///< a firmware image was on offer
  /// Server thread only: its steady clock in ms when it first saw the
  /// device Closed; 0 before.
  int64_t closedSeenMs = 0;
  /// Server thread only: the panel layout (StatusText::LayoutId) its entry
  /// was last written in, and the outcome code that entry shows.
  uint64_t panelLayout = 0;
  int32_t panelCode = 0;

  void SetFlag(uint32_t bit) { flags.fetch_or(bit, std::memory_order_relaxed); }
  bool HasFlag(uint32_t bit) const {
    return (flags.load(std::memory_order_relaxed) & bit) != 0;
  }
  int32_t State() const { return state.load(std::memory_order_relaxed); }
  void SetState(int32_t s) { state.store(s, std::memory_order_relaxed); }
};

/// The one rule for a device's outcome, from the words of its record (for
/// a reader that holds only its live block): Reworking until it is Closed;
/// Done when nothing was offered or it received every image
/// (fwUpgradeDone), otherwise Error. A device a stop, a reload or a lost
/// port cut off is final at once: in Closing (its CLOSE-REQ answered) it is
/// what it would be once Closed; earlier it is Error, whatever it had
/// received (also if it closes meanwhile).
inline Outcome OutcomeOf(int32_t state, uint32_t flags, bool firmwareOffered, uint32_t stMask) {
  if ((flags & interruptedByStop) != 0) return Outcome::kError;
  if (state != Closed && (flags & closingAtStop) == 0) return Outcome::kReworking;
  const bool nothingOffered = !firmwareOffered && stMask == 0;
  if (nothingOffered || (flags & fwUpgradeDone) != 0) return Outcome::kDone;
  return Outcome::kError;
}

/// Why a device whose outcome is Error failed. A stop decides alone: its
/// client may still be writing the transfer counters. Otherwise the last
/// transfer failure, and without one, how the device left.
inline FailureCause ErrorCause(uint32_t flags, const DeviceLive& live) {
  if ((flags & interruptedByStop) != 0) return FailureCause::kStopped;
  const FailureCause cause = live.Cause();
  if (cause == FailureCause::kTimeout || cause == FailureCause::kTftpError) return cause;
  return (flags & gracefulClosing) != 0 ? FailureCause::kClosedEarly : FailureCause::kNoRequest;
}

/// OutcomeOf a record: what the panel, the log file, the record, the
/// counters and the progress views all show.
inline Outcome ClientOutcome(const DeviceRecord& record) {
  // The state first: a client sets its flags before it reaches Closed, and
  // a Closed client changes them no more.
  const int32_t state = record.State();
  return OutcomeOf(state, record.flags.load(std::memory_order_relaxed), record.firmwareOffered,
                   record.stMask);
}

/// The note of a line that tells a device's final outcome.
inline LineNote OutcomeNote(Outcome outcome) {
  return outcome == Outcome::kDone ? LineNote::kOutcomeDone : LineNote::kOutcomeError;
}
