// The one-line report of a simulated device.
#include <cstdio>
#include <string>

#include "devsim/device.h"

namespace {

std::string Ms(int64_t from, int64_t to) {
  if (to < 0) return "-";
  return std::to_string(to - from) + "ms";
}

}  // namespace

bool SimDevice::FailedAsPlanned() const {
  if (!Ok()) return false;
  for (const ImageResult& r : images_)
    if (r.aborted) return true;
  return false;
}

std::string SimDevice::ReportLine() const {
  char head[96];
  std::snprintf(head, sizeof head, "%02x-%02x-%02x-%02x-%02x-%02x %s",
                mac_[0], mac_[1], mac_[2], mac_[3], mac_[4], mac_[5],
                !Ok() ? "FAILED" : FailedAsPlanned() ? "failed-as-planned" : "ok");
  std::string line = head;
  if (ip_ != 0) {
    char ip[64];
    std::snprintf(ip, sizeof ip, " ip=%u.%u.%u.%u region=%d offer=%s",
                  ip_ >> 24, (ip_ >> 16) & 255, (ip_ >> 8) & 255, ip_ & 255,
                  region_, fwOffered_ ? "fw" : "-");
    line += ip;
    if (stOffered_) {
      char st[16];
      std::snprintf(st, sizeof st, "+st:%#04x", stOffered_);
      line += st;
    }
  }
  for (int i = 0; i < kSimImageCount; ++i) {
    const ImageResult& r = images_[i];
    if (!r.requested) continue;
    line += " " + ImageLabel(i) + "=";
    if (r.aborted) {
      line += "given-up";
      continue;
    }
    if (!r.complete) {
      line += "incomplete";
      continue;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%lluB/%lldms/fnv:%016llx%s%s",
                  static_cast<unsigned long long>(r.bytes),
                  static_cast<long long>(r.endMs - r.startMs),
                  static_cast<unsigned long long>(r.hash),
                  r.unacked ? "/unacked" : "",
                  r.verdict.empty() ? "" : "/MISMATCH");
    line += text;
  }
  if (firstSeenAt_ >= 0) {
    line += " conf=" + Ms(confSentAt_, confAckAt_);
    if (kaAckAt_ >= 0) line += " keepalive=" + Ms(kaSentAt_, kaAckAt_);
    if (closeAckAt_ >= 0) line += " close=" + Ms(closeSentAt_, closeAckAt_);
    line += " total=" + Ms(firstSeenAt_, finishedAt_);
  }
  line += " wrq=" + std::to_string(wrqSeen_) +
          " data=" + std::to_string(dataSeen_) +
          " dupdata=" + std::to_string(dupData_) +
          " dropped=" + std::to_string(acksDropped_);
  if (strayAcksSent_)
    line += " stray-errors=" + std::to_string(strayErrorsSeen_) + "/" +
            std::to_string(strayAcksSent_);
  if (!note_.empty()) line += " note=\"" + note_ + "\"";
  if (!failure_.empty()) line += " reason=\"" + failure_ + "\"";
  return line;
}
