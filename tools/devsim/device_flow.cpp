// A simulated device's run after its configuration: a request for each
// image, closing, silence, its timer, and the end of its run.
#include <cstdio>
#include <cstring>

#include "devsim/device.h"
#include "devsim/frames.h"
#include "protocol/skav_msg.h"

void SimDevice::StartNextImage(int64_t now) {
  if (opt_.noUpload || next_ >= plan_.size()) {
    if (opt_.silentAfter == SilentStep::kTransfers) {
      EnterSilence(now);
      return;
    }
    SendClose(now);
    return;
  }
  current_ = plan_[next_++];
  ImageResult& r = images_[current_];
  r.requested = true;
  r.startMs = now;
  sends_ = 0;
  if (!opt_.kernelTftpDir.empty()) {
    BeginFileWait(now);  // clears a stale file before the request
    SendUlReq();
    return;
  }
  SendUlReq();
  phase_ = Phase::kRequesting;
  due_ = now + kRetryMs;
  if (firstRequest_ && opt_.silentAfter == SilentStep::kUlReq) EnterSilence(now);
  firstRequest_ = false;
}

void SimDevice::SendUlReq() {
  uint8_t storage[128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  const std::string name = RequestName(current_);
  SKAV_MsgInit(buf, SKAV_TFTP_UL_REQ, 0);
  SKAV_MsgAddOpt(buf, SKAV_OPT_FILE_NAME, name.data(),
                 static_cast<uint16_t>(name.size()));
  ++sends_;
  SendSkavFrame(*ctx_.tx, serverMac_, mac_, buf);
  Log("TX TFTP-UL-REQ \"%s\"", name.c_str());
}

void SimDevice::SendClose(int64_t now) {
  if (phase_ != Phase::kWaitCloseAck) {
    phase_ = Phase::kWaitCloseAck;
    closeSentAt_ = now;
    sends_ = 0;
  }
  uint8_t storage[128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  SKAV_MsgInit(buf, SKAV_CLOSE_REQ, 0);
  ++sends_;
  SendSkavFrame(*ctx_.tx, serverMac_, mac_, buf);
  Log("TX CLOSE-REQ");
  due_ = now + kRetryMs;
}

void SimDevice::OnCloseAck(int64_t now) {
  if (phase_ != Phase::kWaitCloseAck) return;
  closeAckAt_ = now;
  Log("RX CLOSE-ACK");
  if (strayAcksSent_ != strayErrorsSeen_) {
    Finish(now, "sent " + std::to_string(strayAcksSent_) +
                    " ACKs from a stray port, got " +
                    std::to_string(strayErrorsSeen_) +
                    " ERROR 5 \"Inconsistent UDP source port\"");
    return;
  }
  for (int i = 0; i < kSimImageCount; ++i) {
    const ImageResult& r = images_[i];
    if (r.requested && !r.aborted && !r.complete) {
      Finish(now, ImageLabel(i) + " incomplete");
      return;
    }
    if (!r.verdict.empty()) {
      Finish(now, ImageLabel(i) + ": " + r.verdict);
      return;
    }
  }
  if (badFrames_) {
    Finish(now, std::to_string(badFrames_) + " bad IPv4 frames (" +
                    badFrameWhy_ + ")");
    return;
  }
  Finish(now, "");
}

void SimDevice::EnterSilence(int64_t now) {
  // The image the silence cuts short is given up on purpose.
  if (current_ >= 0 && images_[current_].requested &&
      !images_[current_].complete)
    images_[current_].aborted = true;
  phase_ = Phase::kSilent;
  due_ = now + opt_.silentForMs;
  Log("silent for %d ms", opt_.silentForMs);
}

void SimDevice::OnTick(int64_t now) {
  if (now < due_) return;
  switch (phase_) {
    case Phase::kWaitConfAck:
      if (opt_.malformedConfReq) {
        note_ = "no answer to the malformed CONF-REQ";
        Finish(now, "");
      } else if (sends_ >= kMaxSends) {
        Finish(now, "no CONF-ACK");
      } else {
        SendConfReq();
        due_ = now + kRetryMs;
      }
      break;
    case Phase::kWaitKeepAliveAck:
      if (sends_ >= kMaxSends) {
        Finish(now, "no KEEP-ALIVE-ACK");
      } else {
        SendKeepAlive();
        due_ = now + kRetryMs;
      }
      break;
    case Phase::kRequesting:
      if (sends_ >= kMaxSends) {
        Finish(now, "no WRQ for " + ImageLabel(current_));
      } else {
        SendUlReq();
        due_ = now + kRetryMs;
      }
      break;
    case Phase::kReceiving:
      CheckTransferStall(now);
      break;
    case Phase::kWaitFile:
      PollFile(now);
      break;
    case Phase::kWaitCloseAck:
      if (sends_ >= kMaxSends) {
        Finish(now, "no CLOSE-ACK");
      } else {
        SendClose(now);
      }
      break;
    case Phase::kSilent:
      if (opt_.thenClose) {
        SendClose(now);
      } else {
        note_ = "stopped after the silence";
        Finish(now, "");
      }
      break;
    case Phase::kWaitAdvertise:
    case Phase::kFinished:
      due_ = INT64_MAX;
      break;
  }
}

void SimDevice::Abandon(int64_t now) {
  if (phase_ == Phase::kFinished) return;
  Finish(now, std::string("run timed out while ") + PhaseName(phase_));
}

void SimDevice::Finish(int64_t now, const std::string& failure) {
  if (phase_ == Phase::kFinished) return;
  if (!failure.empty()) Log("FAILED: %s", failure.c_str());
  phase_ = Phase::kFinished;
  failure_ = failure;
  finishedAt_ = now;
  due_ = INT64_MAX;
}

uint64_t SimDevice::BytesReceived() const {
  uint64_t total = 0;
  for (const ImageResult& r : images_) total += r.bytes;
  return total;
}
