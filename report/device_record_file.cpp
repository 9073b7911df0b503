// The JSON Lines record of every finished device: what it got (by SHA-256),
// when, and why it failed; one object a line, appended in one write.
#include "report/device_record_file.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "report/debug_print.h"
#include "report/device_record.h"
#include "report/log_file.h"

namespace {

using Json = nlohmann::ordered_json;

std::string Iso8601(int64_t wallMs) {
  const time_t seconds = static_cast<time_t>(wallMs / 1000);
  struct tm tm {};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(wallMs % 1000));
  return text;
}

std::string MacText(const uint8_t* m) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return text;
}

std::string IpText(uint32_t addrNet) {
  const auto* b = reinterpret_cast<const uint8_t*>(&addrNet);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

bool Offered(const DeviceRecord& device, int image) {
  return image == 0 ? device.firmwareOffered : (device.stMask >> (image - 1)) & 1u;
}

// Every image whose last transfer failed, firmware first.
Json FailedImages(const DeviceLive& live, const ImageFacts* images) {
  Json names = Json::array();
  for (int i = 0; i < kLiveImages; ++i) {
    if (live.Result(i) == ImageResult::kFailed) names.push_back(images[i].name);
  }
  return names;
}

// Why an Error device failed, with what its cause names.
Json Failure(const DeviceRecord& device, const ImageFacts* images) {
  const DeviceLive& live = *device.live;
  const FailureCause cause = ErrorCause(device.flags.load(std::memory_order_relaxed), live);
  switch (cause) {
    case FailureCause::kTimeout:
    case FailureCause::kTftpError: {
      const bool timeout = cause == FailureCause::kTimeout;
      Json f{{"cause", timeout ? "timeout" : "tftp-error"}};
      // The device may have gone on with other images after this one.
      const int image = live.failureImage.load(std::memory_order_relaxed);
      if (image >= 0 && image < kLiveImages) f["image"] = images[image].name;
      f["block"] = live.failureBlock.load(std::memory_order_relaxed);
      if (timeout) {
        f["failed"] = FailedImages(live, images);
        return f;
      }
      f["code"] = live.FailureCode();
      f["text"] = live.failureText;  // whole; a Closed client writes no more
      f["failed"] = FailedImages(live, images);
      return f;
    }
    case FailureCause::kStopped:
      return Json{{"cause", "stopped"}};
    case FailureCause::kClosedEarly:
      return Json{{"cause", "closed-early"}};
    default:
      return Json{{"cause", "no-request"}};
  }
}

}  // namespace

std::string DeviceRecordJson(const DeviceRecord& device, int32_t regionCode,
                             const ImageFacts* images, const RecordServer& server,
                             int64_t nowWallMs) {
  const DeviceLive& live = *device.live;
  const bool done = ClientOutcome(device) == Outcome::kDone;
  const int64_t ended = live.endWallMs.load(std::memory_order_relaxed);

  Json j;
  j["mac"] = MacText(device.mac);
  j["ip"] = IpText(device.ipAddr);
  j["region"] = regionCode;
  j["started"] = Iso8601(live.startWallMs.load(std::memory_order_relaxed));
  j["ended"] = Iso8601(ended != 0 ? ended : nowWallMs);
  j["outcome"] = done ? "Done" : "Error";
  j["graceful"] = device.HasFlag(gracefulClosing);
  Json list = Json::array();
  for (int i = 0; i < kLiveImages; ++i) {
    if (!Offered(device, i)) continue;
    const ImageFacts& facts = images[i];
    const ImageResult result = live.Result(i);
    Json image;
    image["name"] = facts.name;
    image["file"] = facts.path;
    image["size"] = facts.size;
    image["sha256"] = facts.sha256;
    image["sent"] = result == ImageResult::kSent;
    image["seconds"] = result == ImageResult::kNotStarted
                           ? 0.0
                           : live.imageMs[i].load(std::memory_order_relaxed) / 1000.0;
    image["resent"] = live.imageResent[i].load(std::memory_order_relaxed);
    list.push_back(std::move(image));
  }
  j["images"] = std::move(list);
  if (!done) j["failure"] = Failure(device, images);
  j["server"] = Json{{"host", server.host}, {"interface", server.interface},
                     {"version", server.version}};
  // A device's text or a file name need not be UTF-8: such bytes become
  // U+FFFD instead of costing the line.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int RecordFileOutcomes(RecordFile& file, DeviceRecord* list, int32_t regionCode,
                       const ImageFacts* images, const RecordServer& server, size_t bound) {
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    if (file.path.empty()) return 0;
  }
  for (DeviceRecord* c = list; c != nullptr; c = c->next) {
    if (c->HasFlag(recordWritten) || ClientOutcome(*c) == Outcome::kReworking) continue;
    std::string line = DeviceRecordJson(*c, regionCode, images, server, WallMs()) + "\n";
    std::lock_guard<std::mutex> lock(gLogLock);
    // Turned off meanwhile; past the bound the device keeps its record,
    // unmarked, until lines have gone out.
    if (file.path.empty() || file.held.lines.size() >= bound) break;
    file.held.lines.push_back(std::move(line));
    c->SetFlag(recordWritten);
  }
  return 1;
}

bool OpenRecordFile(RecordFile& file, const std::string& path) {
  CloseRecordFile(file);
  if (path.empty()) return false;
  std::string why;
  if (!OpenLineFile(file, gLogLock, path, &why)) {
    ErrorBox("Fail to open the record file '%s': '%s'", path.c_str(), why.c_str());
    return false;
  }
  return true;
}

void CloseRecordFile(RecordFile& file) { CloseLineFile(file, gLogLock); }
