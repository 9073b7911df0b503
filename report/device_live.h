// The live part of a device's record: its state, flags and the counters of
// its transfers, in one block that any thread may read without a lock and
// that outlives the record for as long as a reader holds it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

/// Why a device's last transfer, or the device itself, did not complete.
enum class FailureCause : uint32_t {
  kNone = 0,
  kTimeout = 1,      ///< the device stopped answering during a transfer
  kTftpError = 2,    ///< the device sent a TFTP ERROR
  kClosedEarly = 3,  ///< it closed before it had every image offered
  kNoRequest = 4,    ///< it went silent without asking for every image
  kStopped = 5,      ///< the run stopped while it was being served
};

/// What became of one image offered to a device.
enum class ImageResult : uint32_t {
  kNotStarted = 0,
  kInFlight = 1,
  kSent = 2,    ///< sent in full (acknowledged, or implicitly)
  kFailed = 3,  ///< its last transfer failed
};

constexpr int kLiveImages = 7;  // firmware and string tables 1 to 6

/// Milliseconds of the steady clock, for durations and rates.
inline int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

/// Milliseconds since 1970 (UTC), for the times a record names.
inline int64_t WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

/// One reading of the transfer in flight.
struct BlockCount {
  int image = -1;  ///< -1: no transfer yet
  uint32_t acked = 0;
  uint32_t total = 0;
};

/// Written by the device's client thread only (plain relaxed loads and
/// stores: one writer, so no read-modify-write and never a lock or an
/// allocation on the per-block path) and read by any thread.
struct DeviceLive {
  std::atomic<int32_t> state{1};  ///< the client's state (Created first)
  std::atomic<uint32_t> flags{0};

  // From here on, written on every block: a cache line of its own, away
  // from state and flags, which the server thread reads for every frame
  // (sharing one cost the crowd of 256 devices several per cent).

  /// The image in flight with its DATA blocks acknowledged and their total,
  /// in one word so that no reader sees one image's count against another's
  /// total: (image + 1) << 56 | acknowledged << 28 | total. 0: none yet.
  alignas(64) std::atomic<uint64_t> blocks{0};
  std::atomic<int64_t> transferStartMs{0};  ///< steady ms, current transfer
  std::atomic<uint32_t> resent{0};          ///< current transfer
  std::atomic<uint32_t> resentAll{0};       ///< every transfer
  std::atomic<uint64_t> bytes{0};           ///< acknowledged, every image
  std::atomic<int64_t> startMs{SteadyMs()};  ///< steady ms, client created
  std::atomic<int64_t> endMs{0};             ///< steady ms, Closed; 0 before
  std::atomic<int64_t> startWallMs{WallMs()};
  std::atomic<int64_t> endWallMs{0};

  /// The failure of failureImage: cause << 24 | TFTP error code (16 bits).
  /// Stored with release after failureText, so a reader that loads it with
  /// acquire may read the text the store published.
  std::atomic<uint32_t> failure{0};
  std::atomic<uint32_t> failureBlock{0};
  /// The image the failure fields tell of: the first, firmware first,
  /// whose last transfer failed; -1 before any failure. The device may
  /// have gone on with other images since.
  std::atomic<int32_t> failureImage{-1};
  /// The device's own words, as much as its ERROR carried (up to its
  /// zero byte). Read only once the client writes no more (Closed).
  std::string failureText;

  /// Per image: its ImageResult, the duration of its last transfer and the
  /// packets sent again in all its transfers.
  std::atomic<uint32_t> imageResult[kLiveImages] = {};
  std::atomic<uint32_t> imageMs[kLiveImages] = {};
  std::atomic<uint32_t> imageResent[kLiveImages] = {};

  static uint64_t PackBlocks(int image, uint32_t acked, uint32_t total) {
    return (static_cast<uint64_t>(image + 1) << 56) |
           (static_cast<uint64_t>(acked & 0xFFFFFFF) << 28) | (total & 0xFFFFFFF);
  }

  BlockCount Blocks() const {
    const uint64_t v = blocks.load(std::memory_order_relaxed);
    BlockCount b;
    b.image = static_cast<int>(v >> 56) - 1;
    b.acked = static_cast<uint32_t>((v >> 28) & 0xFFFFFFF);
    b.total = static_cast<uint32_t>(v & 0xFFFFFFF);
    return b;
  }

  // --- the client thread's side ------------------------------------------

  /// A transfer of `image` (`length` bytes) starts: nothing acknowledged of
  /// its length / 512 + 1 DATA blocks (the last one may be empty).
  void BeginTransfer(int image, uint32_t length) {
    if (image < 0 || image >= kLiveImages) return;
    blocks.store(PackBlocks(image, 0, length / 512 + 1), std::memory_order_relaxed);
    resent.store(0, std::memory_order_relaxed);
    transferStartMs.store(SteadyMs(), std::memory_order_relaxed);
    imageResult[image].store(static_cast<uint32_t>(ImageResult::kInFlight),
                             std::memory_order_relaxed);
  }

  /// The device acknowledged DATA block `block` of `len` bytes.
  void Acked(uint32_t block, uint32_t len) {
    const BlockCount b = Blocks();
    if (b.image < 0 || block > b.total) return;
    blocks.store(PackBlocks(b.image, block, b.total), std::memory_order_relaxed);
    Add(bytes, uint64_t{len});
  }

  /// A packet of the transfer was sent again.
  void Resent() {
    Add(resent, 1u);
    Add(resentAll, 1u);
    const int image = Blocks().image;
    if (image >= 0) Add(imageResent[image], 1u);
  }

  /// The image in flight is complete (explicitly or implicitly acked):
  /// `lastLen` bytes of its final block count as acknowledged when the
  /// device never acknowledged it.
  void ImageSent(uint32_t lastLen) {
    const BlockCount b = Blocks();
    if (b.image < 0) return;
    if (b.acked < b.total) {
      blocks.store(PackBlocks(b.image, b.total, b.total), std::memory_order_relaxed);
      Add(bytes, uint64_t{lastLen});
    }
    EndImage(b.image, ImageResult::kSent);
  }

  /// The transfer in flight failed at `block` (the one unacknowledged).
  /// `text` (`len` bytes, not terminated) is the device's ERROR text.
  void TransferFailed(FailureCause cause, uint32_t block, uint16_t code = 0,
                      const char* text = nullptr, size_t len = 0) {
    const int image = Blocks().image;
    if (image >= 0) EndImage(image, ImageResult::kFailed);
    // The failure told is that of the first image, firmware first, whose
    // last transfer failed: a device that failed the firmware and then a
    // string table must not read as if the firmware went in.
    const int named = failureImage.load(std::memory_order_relaxed);
    if (image >= 0 && named >= 0 && named < image && Result(named) == ImageResult::kFailed)
      return;
    // Once a failure, never on the transfer path.
    if (text != nullptr) {
      failureText.assign(text, strnlen(text, len));
    } else {
      failureText.clear();
    }
    failureBlock.store(block, std::memory_order_relaxed);
    failureImage.store(image, std::memory_order_relaxed);
    failure.store(static_cast<uint32_t>(cause) << 24 | code, std::memory_order_release);
  }

  /// The client reached Closed.
  void Ended() {
    endMs.store(SteadyMs(), std::memory_order_relaxed);
    endWallMs.store(WallMs(), std::memory_order_relaxed);
  }

  // --- a reader's side ----------------------------------------------------

  FailureCause Cause() const {
    return static_cast<FailureCause>(failure.load(std::memory_order_acquire) >> 24);
  }
  uint16_t FailureCode() const {
    return static_cast<uint16_t>(failure.load(std::memory_order_acquire) & 0xFFFF);
  }
  ImageResult Result(int image) const {
    return static_cast<ImageResult>(imageResult[image].load(std::memory_order_relaxed));
  }

 private:
  // One writer: a load and a store, without the bus lock of fetch_add.
  template <typename T, typename V>
  static void Add(std::atomic<T>& counter, V n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  void EndImage(int image, ImageResult result) {
    imageResult[image].store(static_cast<uint32_t>(result), std::memory_order_relaxed);
    const int64_t ms = SteadyMs() - transferStartMs.load(std::memory_order_relaxed);
    imageMs[image].store(static_cast<uint32_t>(ms < 0 ? 0 : ms), std::memory_order_relaxed);
  }
};
