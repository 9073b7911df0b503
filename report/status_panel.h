// The Device Status panel: a plain text model, edited in place at fixed
// offsets by the server thread, mirrored by a view through its edits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

struct DeviceRecord;

constexpr int32_t kSortMacUp = 1021;
constexpr int32_t kSortMacDown = 1020;
constexpr int32_t kSortStatus = 1022;

/// Word indexes of PanelState.
enum PanelWord : int {
  refreshRequest = 0,  ///< 0 none, else bits: 1 rebuild, 2 reap Done, 4 reap Error
  sortKey = 1,         ///< 1021, 1020 or 1022
  total = 2,
  errorCount = 3,
  doneCount = 4,
  reworkingCount = 5,
  entriesStart = 6,
  errorStart = 7,
  doneStart = 8,
  reworkingStart = 9,
  entriesEnd = 10,
};

/// The 11 words of the panel. Words 0 and 1 are written by the GUI thread,
/// the rest by the server thread; each is read whole without a lock.
struct PanelState {
  std::atomic<int32_t> w[11] = {};
  int32_t Get(int i) const { return w[i].load(std::memory_order_relaxed); }
  void Set(int i, int32_t v) { w[i].store(v, std::memory_order_relaxed); }
  void Add(int i, int32_t d) { w[i].fetch_add(d, std::memory_order_relaxed); }
};

/// Receives every edit of the panel text, in order, on the server thread.
/// A view mirrors the text by applying the same edits; it must not block.
class StatusEditListener {
 public:
  virtual ~StatusEditListener() = default;
  /// Replace `count` characters at `pos` by `text`.
  virtual void OnEdit(int pos, int count, const std::string& text) = 0;
};

/// The panel text. Only the server thread edits it.
class StatusText {
 public:
  void SetListener(StatusEditListener* listener) { listener_ = listener; }
  const std::string& Text() const { return text_; }
  int Length() const { return static_cast<int>(text_.size()); }
  /// Replaces `count` characters at `pos` and tells the listener.
  void Replace(int pos, int count, const std::string& text);
  /// The order the entries were laid out in at the last reset (1021, 1020
  /// or 1022), or 0 before the first reset. Incremental refreshes keep to
  /// it, so a sort key changed between rebuilds never mixes two layouts.
  int32_t LayoutOrder() const { return layoutOrder_; }
  /// Also starts a new layout, with an id no text of this process had.
  void SetLayoutOrder(int32_t order);
  /// The entries of a record marked with this id are still in the text as
  /// they were written; 0 before the first reset.
  uint64_t LayoutId() const { return layoutId_; }

 private:
  std::string text_;
  StatusEditListener* listener_ = nullptr;
  int32_t layoutOrder_ = 0;
  uint64_t layoutId_ = 0;
};

/// A copy of the panel text that any thread may read: listening to the
/// text from before its first edit, it applies each edit under a lock of
/// its own, so the server thread never waits for a reader for long.
class StatusTextMirror : public StatusEditListener {
 public:
  void OnEdit(int pos, int count, const std::string& text) override;
  std::string Text() const;

 private:
  mutable std::mutex mu_;
  std::string text_;
};

/// `text` (the panel text) as the window shows it at its opening width, for
/// a terminal: the header line and the empty line, then the entries three
/// to a line; every line ends with CR LF.
std::string GUIStatusRows(const std::string& text);

/// Allocates the full rebuild's temporary records (released with
/// std::free); nullptr on failure.
using StatusAllocFn = void* (*)(size_t bytes);
/// Replaces the rebuild's allocator, so that its failure path can be
/// exercised; nullptr restores std::malloc.
void SetStatusAllocator(StatusAllocFn fn);

/// Empties the text and writes the header for `count` devices. The count
/// field is "%4d " up to 9999 and "9999+" beyond, five characters either
/// way, so the counts stay at offset 19 and the entries at 24.
void GUIStatusReset(StatusText* ctl, int count, PanelState& state);
/// Full rebuild in the current order.
void GUIStatusUpdateSorting(StatusText* ctl, DeviceRecord* list,
                            PanelState& state);
/// Incremental refresh, entry by entry.
void GUIStatusUpdate(StatusText* ctl, DeviceRecord* list, PanelState& state);

/// A sort button: stores the key and asks for a rebuild; false when the key
/// was already chosen (then nothing changes). The caller wakes the loop.
bool OnSortButton(PanelState& state, int32_t id);
/// Bits of refreshRequest beyond the plain rebuild (1); each rebuilds too.
constexpr int32_t kRequestReapDone = 2;
constexpr int32_t kRequestReapError = 4;

/// Clear: asks for the Done clients to be removed and the panel rebuilt.
void OnClearStatus(PanelState& state);
/// Retry failed: asks for the Error clients whose outcome is written to be
/// removed, so that each is served again when it asks, and the panel rebuilt.
void OnRetryFailed(PanelState& state);
