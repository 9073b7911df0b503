// Progress texts for a terminal or the journal: fixed columns, so that a
// slow device and a dead one are told apart at a glance.
#include "console/progress_text.h"

#include <cstdio>

#include "report/device_record.h"
#include "transfer/upload_images.h"

namespace {

const char* StateName(int32_t state) {
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

}  // namespace

std::string ProgressListing(const std::vector<ProgressRow>& rows, const RecentRate& rate,
                            int64_t nowMs) {
  std::string out;
  for (const ProgressRow& row : rows) {
    const DeviceLive& live = *row.live;
    const int32_t state = live.state.load(std::memory_order_relaxed);
    if (state == Closed || state == Ended) continue;
    const BlockCount b = live.Blocks();
    char image[kImageNameSize] = "-";
    if (b.image >= 0) ImageName(b.image, image);
    const unsigned percent = b.total ? static_cast<unsigned>(100ull * b.acked / b.total) : 0;
    const double kibPerS = rate.BytesPerSecond(&live, nowMs) / 1024.0;
    const int64_t elapsedMs = nowMs - live.startMs.load(std::memory_order_relaxed);
    const uint8_t* m = row.mac;
    const auto* a = reinterpret_cast<const uint8_t*>(&row.ipAddr);
    char ip[16];
    std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    char line[200];
    std::snprintf(line, sizeof line,
                  "%02X-%02X-%02X-%02X-%02X-%02X  %-15s  %-15s  %-15s  %5u/%-5u %3u%%  "
                  "%8.1f KiB/s  %7.1f s  resent %u\n",
                  m[0], m[1], m[2], m[3], m[4], m[5], ip, StateName(state), image, b.acked,
                  b.total, percent, kibPerS, elapsedMs / 1000.0,
                  live.resentAll.load(std::memory_order_relaxed));
    out += line;
  }
  return out;
}

ProgressCounts CountProgress(const std::vector<ProgressRow>& rows) {
  ProgressCounts c;
  for (const ProgressRow& row : rows) {
    const DeviceLive& live = *row.live;
    const int32_t state = live.state.load(std::memory_order_relaxed);
    const uint32_t flags = live.flags.load(std::memory_order_relaxed);
    c.bytes += live.bytes.load(std::memory_order_relaxed);
    switch (OutcomeOf(state, flags, row.firmwareOffered, row.stMask)) {
      case Outcome::kReworking:
        if (state != Ended) ++c.inFlight;
        break;
      case Outcome::kDone:
        ++c.done;
        break;
      case Outcome::kError:
        ++c.failed;
        break;
    }
  }
  return c;
}

std::string ProgressSummary(const ProgressCounts& now, uint64_t bytesBefore, int64_t ms) {
  const uint64_t moved = now.bytes > bytesBefore ? now.bytes - bytesBefore : 0;
  const double kibPerS = ms > 0 ? moved / 1024.0 / (ms / 1000.0) : 0.0;
  char line[128];
  std::snprintf(line, sizeof line, "progress: %d in flight, %d done, %d failed, %.1f KiB/s\n",
                now.inFlight, now.done, now.failed, kibPerS);
  return line;
}
