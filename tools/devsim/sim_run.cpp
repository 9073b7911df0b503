// The simulator's event loop: one thread, one capture, poll() with the
// nearest device timer as its limit.
#include "devsim/sim_run.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "devsim/kernel_tftp.h"
#include "link/l2_if.h"

namespace {

uint64_t MacKey(const uint8_t mac[6]) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  return key;
}

constexpr int kMaxWaitMs = 100;

}  // namespace

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

SimRun::SimRun(const DevsimOptions& options, Capture& capture)
    : opt_(options), capture_(capture) {
  ctx_.options = &opt_;
  ctx_.tx = &capture_;
}

bool SimRun::AddDevices(std::string* error) {
  if (!opt_.kernelTftpDir.empty()) {
    uint8_t mac[6];
    if (!InterfaceMac(opt_.ifName, mac, error)) return false;
    devices_.push_back(std::make_unique<SimDevice>(ctx_, 0, mac));
  } else {
    const uint32_t base = static_cast<uint32_t>(opt_.baseMac[3]) << 16 |
                          static_cast<uint32_t>(opt_.baseMac[4]) << 8 |
                          opt_.baseMac[5];
    for (int i = 0; i < opt_.count; ++i) {
      uint8_t mac[6];
      std::memcpy(mac, opt_.baseMac, 3);
      const uint32_t low = (base + static_cast<uint32_t>(i)) & 0xffffff;
      mac[3] = static_cast<uint8_t>(low >> 16);
      mac[4] = static_cast<uint8_t>(low >> 8);
      mac[5] = static_cast<uint8_t>(low);
      devices_.push_back(std::make_unique<SimDevice>(ctx_, i, mac));
    }
  }
  for (auto& d : devices_) {
    if (!byMac_.emplace(MacKey(d->Mac()), d.get()).second) {
      *error = "two devices would share one MAC";
      return false;
    }
  }
  admitted_ = opt_.atOnce > 0 ? std::min(devices_.size(), static_cast<size_t>(opt_.atOnce))
                              : devices_.size();
  return true;
}

void SimRun::Admit(int64_t now) {
  if (admitted_ >= devices_.size() || advertiseLen_ == 0) return;
  size_t atWork = 0;
  for (size_t i = 0; i < admitted_; ++i) atWork += !devices_[i]->Finished();
  while (atWork < static_cast<size_t>(opt_.atOnce) && admitted_ < devices_.size()) {
    devices_[admitted_++]->OnSkav(advertise_, advertiseLen_, now);
    ++atWork;
  }
}

SimDevice* SimRun::Find(const uint8_t mac[6]) {
  auto it = byMac_.find(MacKey(mac));
  return it == byMac_.end() ? nullptr : it->second;
}

void SimRun::OnFrame(void* user, const uint8_t* bytes, uint32_t len) {
  static_cast<SimRun*>(user)->Route(bytes, len);
}

void SimRun::Route(const uint8_t* bytes, uint32_t len) {
  if (len < static_cast<uint32_t>(kEthHeaderLen)) return;
  const uint16_t type = static_cast<uint16_t>(bytes[12] << 8 | bytes[13]);
  const int64_t now = NowMs();
  static const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  if (type == kEtherTypeSkav) {
    if (std::memcmp(bytes, kBroadcast, 6) == 0) {
      // The server's cadence shows whether its loop keeps up under load.
      if (len > 16 && bytes[16] == 1) {
        if (lastAdvertiseMs_ >= 0)
          advGapMax_ = std::max(advGapMax_, now - lastAdvertiseMs_);
        lastAdvertiseMs_ = now;
        if (len <= sizeof advertise_) {
          std::memcpy(advertise_, bytes, len);
          advertiseLen_ = len;
        }
      }
      for (size_t i = 0; i < admitted_; ++i) devices_[i]->OnSkav(bytes, len, now);
    } else if (SimDevice* d = Find(bytes)) {
      d->OnSkav(bytes, len, now);
    }
  } else if (type == kEtherTypeIpv4) {
    if (SimDevice* d = Find(bytes)) d->OnIpv4(bytes, len, now);
  }
}

int64_t SimRun::SpanMs() const {
  int64_t first = INT64_MAX, last = 0;
  for (const auto& d : devices_) {
    if (d->FirstAdvertiseMs() < 0) continue;
    first = std::min(first, d->FirstAdvertiseMs());
    last = std::max(last, d->FinishedMs());
  }
  return first == INT64_MAX ? 0 : last - first;
}

bool SimRun::Run(const volatile int* stop) {
  startMs_ = NowMs();
  const int64_t deadline = startMs_ + opt_.timeoutMs;
  bool captureOk = true;
  for (;;) {
    int64_t now = NowMs();
    int64_t nextDue = INT64_MAX;
    bool allDone = true;
    for (auto& d : devices_) {
      if (d->Finished()) continue;
      allDone = false;
      nextDue = std::min(nextDue, d->Due());
    }
    if (allDone) break;
    if (now >= deadline || *stop || !captureOk) {
      for (auto& d : devices_) d->Abandon(now);
      break;
    }
    const int64_t limit = std::min(nextDue, deadline);
    const int wait = static_cast<int>(
        std::clamp<int64_t>(limit - now, 0, kMaxWaitMs));
    if (capture_.Wait(wait) && capture_.Dispatch(&SimRun::OnFrame, this) < 0)
      captureOk = false;
    now = NowMs();
    for (auto& d : devices_)
      if (d->Due() <= now) d->OnTick(now);
    Admit(now);
  }
  endMs_ = NowMs();
  if (!opt_.kernelTftpDir.empty() && !devices_.empty() && devices_[0]->Ip())
    ReleaseKernelAddress(opt_.ifName, devices_[0]->Ip());
  return captureOk;
}
