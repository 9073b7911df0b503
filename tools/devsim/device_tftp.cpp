// A simulated device's TFTP server role: it takes the server's WRQ, answers
// from a port of its own, acknowledges DATA blocks in lock-step and checks
// the image as it arrives; faults on demand.
#include "devsim/device.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "devsim/frames.h"
#include "transfer/tftp.h"

namespace {

constexpr int64_t kStallMs = 5000;  // the server gives up after 2.5 s
constexpr uint16_t kTftpServerPort = 69;
const char kInconsistentPort[] = "Inconsistent UDP source port";

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// A zero-terminated string at `at` that ends before `end`; false if none.
bool ReadCString(const uint8_t*& at, const uint8_t* end, std::string* out) {
  const void* zero = std::memchr(at, 0, static_cast<size_t>(end - at));
  if (!zero) return false;
  const uint8_t* z = static_cast<const uint8_t*>(zero);
  out->assign(reinterpret_cast<const char*>(at), static_cast<size_t>(z - at));
  at = z + 1;
  return true;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

}  // namespace

void SimDevice::OnIpv4(const uint8_t* frame, size_t len, int64_t now) {
  if (!opt_.kernelTftpDir.empty() || phase_ == Phase::kFinished || ip_ == 0 ||
      !haveServer_ || len < 14 || std::memcmp(frame + 6, serverMac_, 6) != 0)
    return;
  UdpView u;
  switch (ReadUdp(frame + 14, len - 14, &u)) {
    case Ipv4Read::kOk: break;
    case Ipv4Read::kNotUdp: return;
    case Ipv4Read::kMalformed:
      ++badFrames_;
      badFrameWhy_ = "malformed IPv4/UDP";
      return;
    case Ipv4Read::kBadChecksum:
      ++badFrames_;
      badFrameWhy_ = "IPv4 header checksum";
      return;
  }
  if (u.dstIp != ip_) return;
  if (u.srcIp != kServerAddr) {
    ++badFrames_;
    badFrameWhy_ = "source address not 10.0.0.1";
    return;
  }
  if (u.len < 4) {
    ++badFrames_;
    badFrameWhy_ = "TFTP packet under 4 bytes";
    return;
  }
  if (u.dstPort == kTftpServerPort) {
    OnWrq(u, now);
    return;
  }
  const bool silentInTransfer =
      phase_ == Phase::kSilent && opt_.silentAfter == SilentStep::kWrq;
  if (u.dstPort == tftpPort_ &&
      (phase_ == Phase::kReceiving || silentInTransfer)) {
    OnData(u, now);
    return;
  }
  for (uint16_t port : strayPorts_) {
    if (u.dstPort == port) {
      OnStrayPortReply(u);
      return;
    }
  }
  // The final block of the transfer before, sent again because our ACK
  // went missing: acknowledge it again, as a TFTP server lingers to do.
  if (u.dstPort == prevTftpPort_ && u.srcPort == prevServerPort_ &&
      prevFinalAcked_ && Be16(u.payload) == TFTP_DATA &&
      Be16(u.payload + 2) == prevLastBlock_) {
    ++dupData_;
    SendAck(prevTftpPort_, prevServerPort_, prevLastBlock_);
  }
}

void SimDevice::OnWrq(const UdpView& u, int64_t now) {
  if (Be16(u.payload) != TFTP_WRQ) return;
  ++wrqSeen_;
  if (phase_ == Phase::kSilent) return;  // counted, never answered
  if (phase_ == Phase::kReceiving) {
    // The WRQ again: our ACK 0 went missing. Answer it the same way.
    if (u.srcPort == serverPort_ && lastBlock_ == 0) SendAck(tftpPort_, serverPort_, 0);
    return;
  }
  if (phase_ != Phase::kRequesting) return;
  const uint8_t* at = u.payload + 2;
  const uint8_t* end = u.payload + u.len;
  std::string name, mode;
  if (!ReadCString(at, end, &name) || !ReadCString(at, end, &mode)) {
    Finish(now, "WRQ without a terminated file name and mode");
    return;
  }
  if (name != WrqName(current_)) {
    Finish(now, "WRQ names \"" + name + "\" for a request of \"" +
                    RequestName(current_) + "\"");
    return;
  }
  if (!EqualsNoCase(mode, "octet")) {
    Finish(now, "WRQ mode \"" + mode + "\"");
    return;
  }
  Log("RX WRQ \"%s\" from port %u", name.c_str(), u.srcPort);
  serverPort_ = u.srcPort;
  // A TFTP server answers from a fresh port of its own, never 69. Even
  // ports, so that the one above is free for a stray ACK.
  tftpPort_ = static_cast<uint16_t>(
      49152 + (static_cast<uint32_t>(index_) * 16 + transfers_ * 2) % 16382);
  ++transfers_;
  lastBlock_ = 0;
  const ImageExpectation& e = opt_.expect.image[current_];
  check_.Begin(e.given ? &e : nullptr);
  phase_ = Phase::kReceiving;
  lastActivity_ = now;
  due_ = now + kStallMs;
  if (opt_.tftpErrorAt == 0) {
    SendTftpError(static_cast<uint16_t>(opt_.tftpErrorCode), opt_.tftpErrorText);
    images_[current_].aborted = true;
    EndImage(now);
    return;
  }
  SendAck(tftpPort_, serverPort_, 0);
  if (opt_.silentAfter == SilentStep::kWrq && transfers_ == 1)
    EnterSilence(now);
}

void SimDevice::OnData(const UdpView& u, int64_t now) {
  const uint16_t opcode = Be16(u.payload);
  if (phase_ == Phase::kSilent) {
    if (opcode == TFTP_DATA) ++dataSeen_;
    return;
  }
  if (opcode == TFTP_ERROR) {
    std::string text;
    const uint8_t* at = u.payload + 4;
    if (!ReadCString(at, u.payload + u.len, &text))
      text.assign(reinterpret_cast<const char*>(u.payload + 4), u.len - 4);
    Finish(now, "the server sent TFTP ERROR " +
                    std::to_string(Be16(u.payload + 2)) + " \"" + text + "\"");
    return;
  }
  if (opcode != TFTP_DATA) return;
  if (u.srcPort != serverPort_) {
    ++badFrames_;
    badFrameWhy_ = "DATA from another UDP port";
    return;
  }
  ++dataSeen_;
  const uint16_t block = Be16(u.payload + 2);
  const size_t dataLen = u.len - 4;
  if (dataLen > static_cast<size_t>(kTftpBlockSize)) {
    Finish(now, "DATA block of " + std::to_string(dataLen) + " bytes");
    return;
  }
  if (block == lastBlock_ && lastBlock_ != 0) {
    ++dupData_;  // our ACK was lost (or left out): say it again
    SendAck(tftpPort_, serverPort_, block);
    return;
  }
  if (block != static_cast<uint16_t>(lastBlock_ + 1)) return;
  lastActivity_ = now;
  due_ = now + kStallMs;
  check_.Add(u.payload + 4, dataLen);
  lastBlock_ = block;
  const bool final = dataLen < static_cast<size_t>(kTftpBlockSize);
  if (opt_.tftpErrorAt == block) {
    SendTftpError(static_cast<uint16_t>(opt_.tftpErrorCode), opt_.tftpErrorText);
    images_[current_].aborted = true;
    EndImage(now);
    return;
  }
  if (final && opt_.loseFinalAck) {
    images_[current_].unacked = true;
    EndImage(now);  // the next request (or CLOSE-REQ) acknowledges it
    return;
  }
  if (opt_.wrongPort && block == 1) {
    // Block 1 acknowledged from a port the server has never seen.
    const uint16_t stray = static_cast<uint16_t>(tftpPort_ + 1);
    strayPorts_.push_back(stray);
    ++strayAcksSent_;
    const uint8_t ack[4] = {0, TFTP_ACK, 0, 1};
    UdpAddr a{serverMac_, mac_, ip_, kServerAddr, stray, serverPort_, ipId_++};
    SendUdpFrame(*ctx_.tx, a, ack, sizeof ack);
  }
  SendAck(tftpPort_, serverPort_, block);
  if (final) EndImage(now);
}

void SimDevice::OnStrayPortReply(const UdpView& u) {
  if (Be16(u.payload) != TFTP_ERROR) return;
  const uint16_t code = Be16(u.payload + 2);
  std::string text;
  const uint8_t* at = u.payload + 4;
  if (code == 5 && ReadCString(at, u.payload + u.len, &text) &&
      text == kInconsistentPort) {
    ++strayErrorsSeen_;
  } else {
    ++badFrames_;
    badFrameWhy_ = "unexpected answer to the stray port";
  }
}

void SimDevice::SendAck(uint16_t srcPort, uint16_t dstPort, uint16_t block) {
  ++acksSent_;
  if (opt_.dropAckEvery > 0 &&
      acksSent_ % static_cast<uint64_t>(opt_.dropAckEvery) == 0) {
    ++acksDropped_;
    return;
  }
  const uint8_t ack[4] = {0, TFTP_ACK, static_cast<uint8_t>(block >> 8),
                          static_cast<uint8_t>(block)};
  UdpAddr a{serverMac_, mac_, ip_, kServerAddr, srcPort, dstPort, ipId_++};
  SendUdpFrame(*ctx_.tx, a, ack, sizeof ack);
}

void SimDevice::SendTftpError(uint16_t code, const std::string& text) {
  uint8_t pkt[4 + kMaxTftpErrorText + 1];
  pkt[0] = 0;
  pkt[1] = TFTP_ERROR;
  pkt[2] = static_cast<uint8_t>(code >> 8);
  pkt[3] = static_cast<uint8_t>(code);
  const size_t n = std::min(text.size(), kMaxTftpErrorText);
  std::memcpy(pkt + 4, text.data(), n);
  pkt[4 + n] = 0;
  UdpAddr a{serverMac_, mac_, ip_, kServerAddr, tftpPort_, serverPort_, ipId_++};
  SendUdpFrame(*ctx_.tx, a, pkt, static_cast<int>(5 + n));
  Log("TX TFTP ERROR %u \"%s\"", code, text.c_str());
}

void SimDevice::EndImage(int64_t now) {
  ImageResult& r = images_[current_];
  r.complete = !r.aborted;
  r.bytes = check_.Received();
  r.hash = check_.Hash();
  r.endMs = now;
  if (!r.aborted) r.verdict = check_.Verdict();
  Log("%s: %llu bytes%s%s", ImageLabel(current_).c_str(),
      static_cast<unsigned long long>(r.bytes), r.aborted ? ", given up" : "",
      r.verdict.empty() ? "" : (", " + r.verdict).c_str());
  prevServerPort_ = serverPort_;
  prevTftpPort_ = tftpPort_;
  prevLastBlock_ = lastBlock_;
  prevFinalAcked_ = !r.aborted && !r.unacked;
  StartNextImage(now);
}

void SimDevice::CheckTransferStall(int64_t now) {
  if (now - lastActivity_ >= kStallMs) {
    Finish(now, "transfer of " + ImageLabel(current_) + " stalled after block " +
                    std::to_string(lastBlock_));
    return;
  }
  due_ = lastActivity_ + kStallMs;
}
