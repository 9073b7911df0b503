// A client's progress in words and numbers: the same reading of its live
// block for the window and for the terminal.
#include "console/progress_facts.h"

#include <arpa/inet.h>

#include <cstdio>

#include "report/device_text.h"
#include "transfer/upload_images.h"

namespace {

// Bytes of a device's own text a view shows, its escapes included.
constexpr size_t kShownTextSize = 512;

struct ColumnInfo {
  const char* title;
  const char* hint;
  bool numeric;
};

constexpr ColumnInfo kColumns[kProgressColumns] = {
    {"MAC", "The device's MAC address", false},
    {"Address", "The address the device was given", true},
    {"State", "Where the device is in the recovery exchange", true},
    {"Image", "The image being sent, or the last one sent while the device is served", true},
    {"Progress",
     "DATA blocks of the image acknowledged; once the device has finished, the images it "
     "received of those offered",
     true},
    {"Rate", "What the device acknowledged over the last second", true},
    {"Elapsed", "Time since the device came, while it is being served", true},
    {"Sent Again", "Packets sent again because the device did not answer in time", true},
    {"Outcome", "Done or Error, once the device has finished", false},
    {"Total Time", "From the device's first request to its end", true},
    {"Failure", "Why a transfer or the device failed", false},
};

// The states in the order a device goes through them.
int LifecycleRank(int32_t state) {
  switch (state) {
    case Created: return 0;
    case Active: return 1;
    case TftpUploading: return 2;
    case TftpSending: return 3;
    case TftpLastBlock: return 4;
    case Closing: return 5;
    default: return 6;
  }
}

std::string Printf(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The other images whose last transfer failed, after the one told of.
std::string AlsoFailed(const DeviceLive& live, int told) {
  std::string also;
  for (int i = 0; i < kLiveImages; ++i) {
    if (i == told || live.Result(i) != ImageResult::kFailed) continue;
    char name[kImageNameSize];
    ImageName(i, name);
    also += also.empty() ? " (also failed: " : ", ";
    also += name;
  }
  return also.empty() ? also : also + ")";
}

// The failure of `cause` in words, with the image it hit (the device may
// have gone on with others). The device's own text is read only from a
// client that writes no more (`settled`).
std::string FailureWords(FailureCause cause, const DeviceLive& live, bool settled) {
  char text[640];
  char image[kImageNameSize + 4] = "";
  const int failed = live.failureImage.load(std::memory_order_relaxed);
  if (failed >= 0 && failed < kLiveImages) {
    char name[kImageNameSize];
    ImageName(failed, name);
    std::snprintf(image, sizeof image, " %s", name);
  }
  switch (cause) {
    case FailureCause::kTimeout:
      std::snprintf(text, sizeof text, "timeout at block %u%s%s",
                    live.failureBlock.load(std::memory_order_relaxed), image[0] ? " of" : "",
                    image);
      return text + AlsoFailed(live, failed);
    case FailureCause::kTftpError: {
      const int n = std::snprintf(text, sizeof text, "TFTP error %u%s%s", live.FailureCode(),
                                  image[0] ? " on" : "", image);
      std::string words(text, static_cast<size_t>(n));
      if (settled && !live.failureText.empty()) {
        // A line's worth, enough for any device's sentence; a longer text
        // is cut with its mark (the record keeps it whole).
        char shown[kShownTextSize];
        EscapeDeviceText(shown, sizeof shown, live.failureText.data(), live.failureText.size());
        words += ": ";
        words += shown;
      }
      return words + AlsoFailed(live, failed);
    }
    case FailureCause::kClosedEarly: return "closed early";
    case FailureCause::kNoRequest: return "no request";
    case FailureCause::kStopped: return "stopped";
    default: return {};
  }
}

// The device's MAC as the panel writes it, and its address.
void NameTexts(const ProgressRow& row, ProgressFacts& f) {
  const uint8_t* m = row.mac;
  char mac[18];
  std::snprintf(mac, sizeof mac, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  const auto* a = reinterpret_cast<const uint8_t*>(&row.ipAddr);
  char address[16];
  std::snprintf(address, sizeof address, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  f.text[kColMac] = mac;
  f.text[kColAddress] = address;
  f.sortKey[kColAddress] = ntohl(row.ipAddr);
}

// What the Progress column measures.
struct Bar {
  bool byImages;  ///< images received of those offered, not blocks
  int image;      ///< the image shown beside it; -1: none
  uint32_t part;
  uint32_t whole;
};

// Being served (or cut off by a stop): the image in flight and its blocks.
// Finished: the images received of those offered, since the last image in
// flight says nothing of one that failed before it.
Bar BarOf(const ProgressRow& row, const BlockCount& b, bool byImages) {
  if (!byImages) return Bar{false, b.image, b.acked, b.total};
  Bar bar{true, -1, 0, 0};
  for (int i = 0; i < kLiveImages; ++i) {
    const bool offered = i == 0 ? row.firmwareOffered : ((row.stMask >> (i - 1)) & 1u) != 0;
    if (!offered) continue;
    ++bar.whole;
    if (row.live->Result(i) == ImageResult::kSent) ++bar.part;
  }
  return bar;
}

}  // namespace

const char* ProgressColumnTitle(int column) {
  return column >= 0 && column < kProgressColumns ? kColumns[column].title : "";
}

const char* ProgressColumnHint(int column) {
  return column >= 0 && column < kProgressColumns ? kColumns[column].hint : "";
}

bool ProgressColumnIsNumeric(int column) {
  return column >= 0 && column < kProgressColumns && kColumns[column].numeric;
}

const char* ProgressStateName(int32_t state) {
  switch (state) {
    case Created: return "Created";
    case Active: return "Active";
    case TftpUploading: return "TFTP-Uploading";
    case TftpSending: return "TFTP-Sending";
    case TftpLastBlock: return "TFTP-Last-Block";
    case Closing: return "Closing";
    default: return "Closed";
  }
}

ProgressFacts ProgressFactsOf(const ProgressRow& row, const RecentRate& rate, int64_t nowMs) {
  const DeviceLive& live = *row.live;
  ProgressFacts f;
  f.state = live.state.load(std::memory_order_relaxed);
  const uint32_t flags = live.flags.load(std::memory_order_relaxed);
  // A record taken off the run (Clear) had closed.
  const bool closed = f.state == Closed || f.state == Ended;
  const bool stopped = (flags & interruptedByStop) != 0;
  f.outcome =
      OutcomeOf(closed ? Closed : f.state, flags, row.firmwareOffered, row.stMask);
  const bool finished = f.outcome != Outcome::kReworking;

  const BlockCount b = live.Blocks();
  f.acked = b.acked;
  f.total = b.total;
  f.percent = b.total ? static_cast<int>(100ull * b.acked / b.total) : 0;
  if (f.outcome == Outcome::kDone) f.percent = 100;
  f.bytesPerSecond = rate.BytesPerSecond(&live, nowMs);
  const int64_t startMs = live.startMs.load(std::memory_order_relaxed);
  const int64_t endMs = live.endMs.load(std::memory_order_relaxed);
  f.elapsedMs = (endMs != 0 ? endMs : nowMs) - startMs;
  if (f.elapsedMs < 0) f.elapsedMs = 0;
  f.resent = live.resentAll.load(std::memory_order_relaxed);

  FailureCause cause = FailureCause::kNone;
  if (f.outcome == Outcome::kError) {
    cause = ErrorCause(flags, live);
    f.mark = ProgressMark::kFailed;
  } else if (!finished) {
    cause = live.Cause();
    if (cause != FailureCause::kNone) f.mark = ProgressMark::kFailing;
  }

  const Bar bar = BarOf(row, b, finished && !stopped);
  if (bar.byImages && f.outcome != Outcome::kDone) {
    f.percent = bar.whole ? static_cast<int>(100ull * bar.part / bar.whole) : 0;
  }
  char image[kImageNameSize] = "-";
  if (bar.image >= 0) {
    ImageName(bar.image, image);
  } else if (bar.byImages) {
    image[0] = '\0';
  }
  char progress[48];
  const int n = std::snprintf(progress, sizeof progress, "%d %%", f.percent);
  if (bar.whole != 0) {
    std::snprintf(progress + n, sizeof progress - n,
                  bar.byImages ? " (%u/%u images)" : " (%u/%u)", bar.part, bar.whole);
  }

  NameTexts(row, f);
  f.text[kColState] = ProgressStateName(f.state);
  f.sortKey[kColState] = LifecycleRank(f.state);
  f.text[kColImage] = image;
  f.sortKey[kColImage] = bar.image;
  f.text[kColProgress] = progress;
  // Finer than the percentage shown, so that close devices keep their order.
  f.sortKey[kColProgress] =
      f.outcome == Outcome::kDone ? 100.0 : bar.whole ? 100.0 * bar.part / bar.whole : 0.0;
  f.text[kColResent] = std::to_string(f.resent);
  f.sortKey[kColResent] = f.resent;
  f.text[kColFailure] = FailureWords(cause, live, closed);
  // Rate and elapsed time speak of a device being served; a finished one
  // has its outcome and total time instead, and sorts apart from them.
  f.sortKey[kColRate] = f.sortKey[kColElapsed] = f.sortKey[kColTotalTime] = -1.0;
  if (!finished) {
    f.text[kColRate] = Printf("%.1f KiB/s", f.bytesPerSecond / 1024.0);
    f.sortKey[kColRate] = f.bytesPerSecond;
    f.text[kColElapsed] = Printf("%.1f s", f.elapsedMs / 1000.0);
    f.sortKey[kColElapsed] = static_cast<double>(f.elapsedMs);
  } else {
    f.text[kColOutcome] = f.outcome == Outcome::kDone ? "Done" : "Error";
    // A device cut off by a stop never reached its end.
    if (endMs != 0) {
      f.text[kColTotalTime] = Printf("%.1f s", f.elapsedMs / 1000.0);
      f.sortKey[kColTotalTime] = static_cast<double>(f.elapsedMs);
    }
  }
  return f;
}
