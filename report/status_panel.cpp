// Device Status panel text model: a header with counts and 32-character
// entries, edited in place at fixed offsets by the server thread.
#include "report/status_panel.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report/debug_print.h"
#include "report/device_record.h"

namespace {

constexpr int kEntryLen = 32;
constexpr int kMacTextLen = 17;
constexpr int kWordInEntry = 19;  // the outcome word's first character
constexpr int kWordLen = 9;
constexpr int kTotalOffset = 6;
// The four digits and the blank behind them. Past 9999 entries the field
// reads "9999+", so the header keeps its length and every offset holds.
constexpr int kTotalFieldLen = 5;
constexpr int kMaxShownTotal = 9999;
constexpr int kCountsOffset = 19;

// PanelOutcome codes; they index the tables below and the words of
// PanelState (2 + code: the count, 6 + code: the group's start).
constexpr int32_t kPanelError = 1;
constexpr int32_t kPanelDone = 2;
constexpr int32_t kPanelReworking = 3;

const char* const kWords[4] = {"", "Error    ", "Done     ", "Reworking"};

struct StatusRecord {
  uint8_t mac[6];
  int32_t code;
};

void* DefaultAlloc(size_t bytes) { return std::malloc(bytes); }

std::atomic<StatusAllocFn> gAlloc{&DefaultAlloc};

// Anything but the two other buttons counts as MAC(up), the order the
// window starts in.
int32_t NormalOrder(int32_t key) {
  return key == kSortMacDown || key == kSortStatus ? key : kSortMacUp;
}

std::string TotalField(int count) {
  if (count > kMaxShownTotal) return "9999+";
  char field[16];
  std::snprintf(field, sizeof field, "%4d ", std::max(count, 0));
  return field;
}

struct MacText {
  char text[kMacTextLen + 1];
  explicit MacText(const uint8_t mac[6]) {
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0],
                  mac[1], mac[2], mac[3], mac[4], mac[5]);
  }
};

std::string EntryText(const char* macText, int32_t code) {
  std::string entry(macText, kMacTextLen);
  entry += ": ";
  entry += kWords[code];
  entry += "    ";
  return entry;
}

// The rule the files follow, so that the panel never says otherwise.
int32_t PanelCode(const DeviceRecord& client) {
  switch (ClientOutcome(client)) {
    case Outcome::kReworking:
      return kPanelReworking;
    case Outcome::kDone:
      return kPanelDone;
    case Outcome::kError:
      break;
  }
  return kPanelError;
}

// End of the header line (its "\r\n" not counted), or -1 without a header.
int HeaderLineEnd(const std::string& text) {
  size_t end = text.find("\r\n");
  return end == std::string::npos ? -1 : static_cast<int>(end);
}

int Clamp(int value, int low, int high) {
  return std::min(std::max(value, low), high);
}

void ResetWithOrder(StatusText* ctl, int count, PanelState& state,
                    int32_t order) {
  ctl->Replace(0, ctl->Length(),
               "Total " + TotalField(count) + "devices: \r\n\r\n");
  ctl->SetLayoutOrder(order);
  state.Set(total, count);
  state.Set(errorCount, 0);
  state.Set(doneCount, 0);
  state.Set(reworkingCount, 0);
  if (order == kSortStatus) {
    for (int w = entriesStart; w <= entriesEnd; ++w) state.Set(w, ctl->Length());
  }
}

void GUIStatusUpdateCounts(StatusText* ctl, PanelState& state, int32_t order) {
  int end = HeaderLineEnd(ctl->Text());
  if (end < kCountsOffset) return;  // no header to rewrite
  std::string counts;
  char part[32];
  if (int n = state.Get(errorCount)) {
    std::snprintf(part, sizeof part, " Error (%d)", n);
    counts += part;
  }
  if (int n = state.Get(doneCount)) {
    std::snprintf(part, sizeof part, " Done (%d)", n);
    counts += part;
  }
  if (int n = state.Get(reworkingCount)) {
    std::snprintf(part, sizeof part, " Reworking (%d)", n);
    counts += part;
  }
  int oldLen = end - kCountsOffset;
  ctl->Replace(kCountsOffset, oldLen, counts);
  if (order == kSortStatus) {
    int delta = static_cast<int>(counts.size()) - oldLen;
    for (int w = entriesStart; w <= entriesEnd; ++w) state.Add(w, delta);
  }
}

int GUIStatusCompare(const StatusRecord& a, const StatusRecord& b) {
  if (a.code != b.code) {
    if (a.code == kPanelError) return -1;
    if (b.code == kPanelError) return 1;
    return a.code == kPanelDone ? -1 : 1;
  }
  int c = std::memcmp(a.mac, b.mac, sizeof a.mac);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void GUIStatusSort(StatusRecord* records, size_t n, int32_t order) {
  if (order == kSortMacDown) {
    std::reverse(records, records + n);
  } else if (order == kSortStatus) {
    std::sort(records, records + n,
              [](const StatusRecord& a, const StatusRecord& b) {
                return GUIStatusCompare(a, b) < 0;
              });
  }
}

// Status order: where the entry of `macText` goes in the group of `code`,
// or -1 when it is already there. An entry of the device in another group
// (its outcome changed) is removed first.
int GUIStatusPlaceInGroup(int32_t code, StatusText* ctl, const char* macText,
                          PanelState& state) {
  const std::string& text = ctl->Text();
  int len = ctl->Length();
  int groupStart = Clamp(state.Get(entriesStart + code), 0, len);
  int groupEnd = Clamp(state.Get(entriesStart + code + 1), groupStart, len);

  int insertAt = groupEnd;
  for (int p = groupStart; p + kEntryLen <= groupEnd; p += kEntryLen) {
    int c = text.compare(p, kMacTextLen, macText, kMacTextLen);
    if (c == 0) return -1;
    if (c > 0) {
      insertAt = p;
      break;
    }
  }

  int first = Clamp(state.Get(entriesStart), 0, len);
  int last = Clamp(state.Get(entriesEnd), first, len);
  int found = -1;
  for (int q = first; q + kEntryLen <= last; q += kEntryLen) {
    if (q >= groupStart && q < groupEnd) {
      q = std::max(q, groupEnd - kEntryLen);  // jump over the own group
      continue;
    }
    if (text.compare(q, kMacTextLen, macText, kMacTextLen) == 0) {
      found = q;
      break;
    }
  }
  if (found < 0) return insertAt;

  state.Add(total, -1);
  ctl->Replace(found, kEntryLen, std::string());
  for (int w = errorStart; w <= entriesEnd; ++w) {
    if (state.Get(w) > found) state.Add(w, -kEntryLen);
  }
  return found < insertAt ? insertAt - kEntryLen : insertAt;
}

void GUIStatusUpdateDevice(PanelState& state, DeviceRecord& client,
                           StatusText* ctl, int32_t order) {
  int32_t code = PanelCode(client);
  state.Add(total + code, 1);
  // Most devices show what they showed last time. Finding an entry walks
  // the text, and doing so for each of a thousand devices twice a second
  // kept the server thread busy long enough to lose its turn on a loaded
  // machine until the next advertisement was late.
  if (client.panelLayout == ctl->LayoutId() && client.panelCode == code) return;
  client.panelLayout = ctl->LayoutId();
  client.panelCode = code;
  MacText mac(client.mac);

  int insertAt;
  if (order == kSortStatus) {
    insertAt = GUIStatusPlaceInGroup(code, ctl, mac.text, state);
    if (insertAt < 0) return;
  } else {
    const std::string& text = ctl->Text();
    int len = ctl->Length();
    int header = HeaderLineEnd(text);
    int p = header < 0 ? len : std::min(header + 4, len);
    insertAt = len;
    for (; p + kEntryLen <= len; p += kEntryLen) {
      int c = text.compare(p, kMacTextLen, mac.text, kMacTextLen);
      if (c == 0) {
        if (text[p + kWordInEntry] != kWords[code][0]) {
          ctl->Replace(p + kWordInEntry, kWordLen, kWords[code]);
        }
        return;
      }
      if ((order == kSortMacUp && c > 0) || (order == kSortMacDown && c < 0)) {
        insertAt = p;
        break;
      }
    }
  }

  ctl->Replace(insertAt, 0, EntryText(mac.text, code));
  state.Add(total, 1);
  if (order == kSortStatus) {
    for (int w = entriesStart + code + 1; w <= entriesEnd; ++w) {
      state.Add(w, kEntryLen);
    }
  }
}

}  // namespace

void StatusText::SetLayoutOrder(int32_t order) {
  static std::atomic<uint64_t> lastLayout{0};
  layoutOrder_ = order;
  layoutId_ = lastLayout.fetch_add(1, std::memory_order_relaxed) + 1;
}

void StatusText::Replace(int pos, int count, const std::string& text) {
  int len = Length();
  pos = Clamp(pos, 0, len);
  count = Clamp(count, 0, len - pos);
  if (count == 0 && text.empty()) return;
  text_.replace(static_cast<size_t>(pos), static_cast<size_t>(count), text);
  if (listener_ != nullptr) listener_->OnEdit(pos, count, text);
}

void StatusTextMirror::OnEdit(int pos, int count, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  text_.replace(static_cast<size_t>(pos), static_cast<size_t>(count), text);
}

std::string StatusTextMirror::Text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return text_;
}

std::string GUIStatusRows(const std::string& text) {
  constexpr int kEntriesPerRow = 3;  // the window's width when it opens
  int header = HeaderLineEnd(text);
  size_t at = header < 0 ? 0 : std::min(static_cast<size_t>(header) + 4, text.size());
  std::string rows = text.substr(0, at);
  while (at < text.size()) {
    size_t n = std::min(static_cast<size_t>(kEntryLen * kEntriesPerRow), text.size() - at);
    rows.append(text, at, n);
    rows += "\r\n";
    at += n;
  }
  return rows;
}

void SetStatusAllocator(StatusAllocFn fn) {
  gAlloc.store(fn != nullptr ? fn : &DefaultAlloc);
}

void GUIStatusReset(StatusText* ctl, int count, PanelState& state) {
  ResetWithOrder(ctl, count, state, NormalOrder(state.Get(sortKey)));
}

void GUIStatusUpdateSorting(StatusText* ctl, DeviceRecord* list,
                            PanelState& state) {
  // One reading of the key for the whole rebuild: the GUI thread may press
  // another button meanwhile, and that request is served by the next one.
  int32_t order = NormalOrder(state.Get(sortKey));
  size_t n = 0;
  for (DeviceRecord* c = list; c != nullptr; c = c->next) ++n;

  StatusRecord* records = nullptr;
  if (n > 0) {
    // Offsets are ints: a list whose text could not be addressed is
    // treated like memory that cannot be had.
    if (n <= static_cast<size_t>(INT_MAX / kEntryLen) - 1) {
      records = static_cast<StatusRecord*>(gAlloc.load()(n * sizeof(StatusRecord)));
    }
    if (records == nullptr) {
      ErrorBox("GUIStatusUpdateSorting() fails to allocate memory");
      return;
    }
    size_t i = 0;
    for (DeviceRecord* c = list; c != nullptr; c = c->next, ++i) {
      std::memcpy(records[i].mac, c->mac, sizeof records[i].mac);
      records[i].code = PanelCode(*c);
      c->panelCode = records[i].code;
    }
    GUIStatusSort(records, n, order);
  }

  ResetWithOrder(ctl, static_cast<int>(n), state, order);
  for (DeviceRecord* c = list; c != nullptr; c = c->next) c->panelLayout = ctl->LayoutId();

  // The entries go in as one edit, so a view mirrors a rebuild in three.
  int base = ctl->Length();
  std::string entries;
  entries.reserve(n * kEntryLen);
  int32_t g = 0;
  for (size_t i = 0; i < n; ++i) {
    int32_t code = records[i].code;
    if (order == kSortStatus) {
      while (g < code) {
        ++g;
        state.Set(entriesStart + g, base + static_cast<int>(entries.size()));
      }
    }
    entries += EntryText(MacText(records[i].mac).text, code);
    state.Add(total + code, 1);
  }
  if (order == kSortStatus) {
    while (g < 4) {
      ++g;
      state.Set(entriesStart + g, base + static_cast<int>(entries.size()));
    }
  }
  ctl->Replace(base, 0, entries);
  GUIStatusUpdateCounts(ctl, state, order);
  std::free(records);
}

void GUIStatusUpdate(StatusText* ctl, DeviceRecord* list, PanelState& state) {
  if (ctl->LayoutOrder() == 0) {
    ResetWithOrder(ctl, 0, state, NormalOrder(state.Get(sortKey)));
  }
  int32_t order = ctl->LayoutOrder();

  int32_t oldTotal = state.Get(total);
  int32_t oldCounts[3] = {state.Get(errorCount), state.Get(doneCount),
                          state.Get(reworkingCount)};
  state.Set(errorCount, 0);
  state.Set(doneCount, 0);
  state.Set(reworkingCount, 0);

  for (DeviceRecord* c = list; c != nullptr; c = c->next) {
    GUIStatusUpdateDevice(state, *c, ctl, order);
  }

  int32_t newTotal = state.Get(total);
  if (newTotal != oldTotal) {
    std::string field = TotalField(newTotal);
    if (field != TotalField(oldTotal)) {
      ctl->Replace(kTotalOffset, kTotalFieldLen, field);
    }
  }
  if (state.Get(errorCount) != oldCounts[0] ||
      state.Get(doneCount) != oldCounts[1] ||
      state.Get(reworkingCount) != oldCounts[2]) {
    GUIStatusUpdateCounts(ctl, state, order);
  }
}

bool OnSortButton(PanelState& state, int32_t id) {
  if (state.Get(sortKey) == id) return false;
  state.Set(sortKey, id);
  // A pending Clear (2) already rebuilds, in the key just stored; lowering
  // it to 1 would drop the operator's Clear.
  int32_t none = 0;
  state.w[refreshRequest].compare_exchange_strong(none, 1,
                                                  std::memory_order_relaxed);
  return true;
}

// Or-ed in, so that a Clear and a retry in the same cycle are both served.
void OnClearStatus(PanelState& state) {
  state.w[refreshRequest].fetch_or(kRequestReapDone, std::memory_order_relaxed);
}

void OnRetryFailed(PanelState& state) {
  state.w[refreshRequest].fetch_or(kRequestReapError, std::memory_order_relaxed);
}
