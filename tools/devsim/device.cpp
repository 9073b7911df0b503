// A simulated device's SKAV side up to its configuration: ADVERTISE,
// CONF-REQ and its CONF-ACK, KEEP-ALIVE-REQ and its answer.
#include "devsim/device.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "devsim/frames.h"
#include "devsim/kernel_tftp.h"
#include "protocol/skav_msg.h"

namespace {

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Where each option may stand in a CONF-ACK: DEV-IP, DEV-REGION, FW-UP,
// ST-UP, in that order.
int ConfAckRank(uint16_t type) {
  switch (type) {
    case SKAV_OPT_DEV_IP: return 0;
    case SKAV_OPT_DEV_REGION: return 1;
    case SKAV_OPT_FW_UP: return 2;
    case SKAV_OPT_ST_UP: return 3;
    default: return -1;
  }
}

}  // namespace

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kWaitAdvertise: return "waiting for ADVERTISE";
    case Phase::kWaitConfAck: return "waiting for CONF-ACK";
    case Phase::kWaitKeepAliveAck: return "waiting for KEEP-ALIVE-ACK";
    case Phase::kRequesting: return "waiting for the WRQ";
    case Phase::kReceiving: return "receiving DATA";
    case Phase::kWaitFile: return "waiting for the TFTP server's file";
    case Phase::kWaitCloseAck: return "waiting for CLOSE-ACK";
    case Phase::kSilent: return "silent";
    case Phase::kFinished: return "finished";
  }
  return "?";
}

SimDevice::SimDevice(const SimContext& ctx, int index, const uint8_t mac[6])
    : ctx_(ctx), opt_(*ctx.options), index_(index),
      ipId_(static_cast<uint16_t>(index * 7919 + 1)) {
  std::memcpy(mac_, mac, 6);
  keepAliveId_[0] = 'K';
  keepAliveId_[1] = static_cast<uint8_t>(index >> 16);
  keepAliveId_[2] = static_cast<uint8_t>(index >> 8);
  keepAliveId_[3] = static_cast<uint8_t>(index);
}

void SimDevice::Log(const char* format, ...) const {
  if (!opt_.verbose) return;
  char text[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  std::fprintf(stderr, "[%02x-%02x-%02x-%02x-%02x-%02x] %s\n", mac_[0], mac_[1],
               mac_[2], mac_[3], mac_[4], mac_[5], text);
}

void SimDevice::OnSkav(const uint8_t* frame, size_t len, int64_t now) {
  if (phase_ == Phase::kFinished || len < 14 + 6) return;
  const uint8_t* dst = frame;
  const uint8_t* src = frame + 6;
  SKAV_Msg msg;
  const int rc = SKAV_MsgParsing(frame + 14, len - 14, msg);
  if (msg.code == SKAV_ADVERTISE && rc == 0 && SKAV_FindOpt(msg, SKAV_OPT_MAGIC_NO)) {
    if (firstSeenAt_ < 0) firstSeenAt_ = now;
    OnAdvertise(src, now);
    return;
  }
  // Everything else must come from our server and be addressed to us.
  if (!haveServer_ || std::memcmp(src, serverMac_, 6) != 0 ||
      std::memcmp(dst, mac_, 6) != 0)
    return;
  if (rc != 0) {
    Finish(now, "the server sent a SKAV message that does not parse (" +
                    std::to_string(rc) + ")");
    return;
  }
  switch (msg.code) {
    case SKAV_CONF_ACK: OnConfAck(msg, now); break;
    case SKAV_KEEP_ALIVE_ACK: OnKeepAliveAck(msg, now); break;
    case SKAV_CLOSE_ACK: OnCloseAck(now); break;
    default: break;
  }
}

void SimDevice::OnAdvertise(const uint8_t serverMac[6], int64_t now) {
  if (phase_ != Phase::kWaitAdvertise) return;
  std::memcpy(serverMac_, serverMac, 6);
  haveServer_ = true;
  Log("ADVERTISE from %02x-%02x-%02x-%02x-%02x-%02x", serverMac[0],
      serverMac[1], serverMac[2], serverMac[3], serverMac[4], serverMac[5]);
  phase_ = Phase::kWaitConfAck;
  confSentAt_ = now;
  sends_ = 0;
  SendConfReq();
  due_ = now + (opt_.malformedConfReq ? opt_.silentForMs : kRetryMs);
}

void SimDevice::SendConfReq() {
  uint8_t storage[128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  if (opt_.malformedConfReq) {
    // An ID option whose Length (16) runs past the message's end.
    SKAV_MsgInit(buf, SKAV_CONF_REQ, 0);
    const uint8_t bytes[] = {0x00, 0x03, 0x00, 0x10, 1, 2, 3, 4};
    uint8_t* at = PktBufPut(buf, sizeof bytes);
    std::memcpy(at, bytes, sizeof bytes);
    buf.data[4] = 0;
    buf.data[5] = static_cast<uint8_t>(buf.len);
  } else {
    SKAV_MsgInit(buf, SKAV_CONF_REQ, 0);
  }
  ++sends_;
  SendSkavFrame(*ctx_.tx, serverMac_, mac_, buf);
  Log("TX CONF-REQ%s", opt_.malformedConfReq ? " (malformed)" : "");
}

void SimDevice::OnConfAck(const SKAV_Msg& msg, int64_t now) {
  if (phase_ != Phase::kWaitConfAck) return;  // an answer to a repeat
  confAckAt_ = now;
  if (opt_.malformedConfReq) {
    Finish(now, "the server answered a malformed CONF-REQ");
    return;
  }
  int lastRank = -1;
  bool haveIp = false;
  for (int i = 0; i < msg.optCount; ++i) {
    const SKAV_Opt& o = msg.opts[i];
    const int rank = ConfAckRank(o.type);
    if (rank < 0) continue;
    if (rank <= lastRank) {
      Finish(now, "CONF-ACK options out of order");
      return;
    }
    lastRank = rank;
    switch (o.type) {
      case SKAV_OPT_DEV_IP:
        ip_ = Be32(o.bytes);
        mask_ = Be32(o.bytes + 4);
        haveIp = true;
        break;
      case SKAV_OPT_DEV_REGION: region_ = static_cast<int>(o.number); break;
      case SKAV_OPT_FW_UP: fwOffered_ = true; break;
      case SKAV_OPT_ST_UP: stOffered_ = o.number; break;
    }
  }
  if (!haveIp) {
    Finish(now, "CONF-ACK without DEV-IP");
    return;
  }
  Log("RX CONF-ACK ip %u.%u.%u.%u region %d fw %d st %#x", ip_ >> 24,
      (ip_ >> 16) & 255, (ip_ >> 8) & 255, ip_ & 255, region_, fwOffered_,
      stOffered_);
  if (mask_ != 0xff000000u) {
    Finish(now, "CONF-ACK mask is not 255.0.0.0");
    return;
  }
  if (opt_.expectRegion >= 0 && region_ != opt_.expectRegion) {
    Finish(now, "CONF-ACK region " + std::to_string(region_) + ", expected " +
                    std::to_string(opt_.expectRegion));
    return;
  }
  if (opt_.expectStMask >= 0 && stOffered_ != opt_.expectStMask) {
    Finish(now, "CONF-ACK ST-UP " + std::to_string(stOffered_) +
                    ", expected " + std::to_string(opt_.expectStMask));
    return;
  }
  if (stOffered_ & ~0x3fu) {
    Finish(now, "CONF-ACK offers string tables beyond 6");
    return;
  }
  if (opt_.expect.Any()) {
    bool same = fwOffered_ == opt_.expect.image[0].given;
    for (int k = 1; k <= 6; ++k)
      same = same && (((stOffered_ >> (k - 1)) & 1) != 0) ==
                         opt_.expect.image[k].given;
    if (!same) {
      Finish(now, "CONF-ACK offers other images than expected");
      return;
    }
  }
  if (fwOffered_) plan_.push_back(0);
  for (int k = 1; k <= 6; ++k)
    if (stOffered_ & (1u << (k - 1))) plan_.push_back(k);

  if (!opt_.kernelTftpDir.empty()) {
    std::string error;
    if (!AssignKernelAddress(opt_.ifName, ip_, &error)) {
      Finish(now, error);
      return;
    }
  }
  if (opt_.silentAfter == SilentStep::kConfAck) {
    EnterSilence(now);
    return;
  }
  phase_ = Phase::kWaitKeepAliveAck;
  kaSentAt_ = now;
  sends_ = 0;
  SendKeepAlive();
  due_ = now + kRetryMs;
}

void SimDevice::SendKeepAlive() {
  uint8_t storage[128];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  SKAV_MsgInit(buf, SKAV_KEEP_ALIVE_REQ, 0);
  SKAV_MsgAddOpt(buf, SKAV_OPT_ID, keepAliveId_, 4);
  ++sends_;
  SendSkavFrame(*ctx_.tx, serverMac_, mac_, buf);
  Log("TX KEEP-ALIVE-REQ");
}

void SimDevice::OnKeepAliveAck(const SKAV_Msg& msg, int64_t now) {
  if (phase_ != Phase::kWaitKeepAliveAck) return;
  kaAckAt_ = now;
  const SKAV_Opt* id = SKAV_FindOpt(msg, SKAV_OPT_ID);
  if (!id || std::memcmp(id->bytes, keepAliveId_, 4) != 0) {
    Finish(now, "KEEP-ALIVE-ACK does not echo the request's ID");
    return;
  }
  if (opt_.silentAfter == SilentStep::kKeepAlive) {
    EnterSilence(now);
    return;
  }
  StartNextImage(now);
}
