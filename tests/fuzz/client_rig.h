// One device's client for the fuzz targets: no thread, timers recorded, an
// in-memory link whose every sent frame is checked, and small images in
// exact-size blocks so that reading past one is caught.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "client_harness.h"
#include "fuzz_support.h"
#include "protocol/client_thread.h"
#include "protocol/msg_thread.h"

namespace fuzz {

/// A hand-driven client that can be given thread messages directly.
class FuzzClient : public harness::TimedClient {
 public:
  using TimedClient::TimedClient;
  /// What the client's loop does with a posted message.
  void Deliver(uint32_t msg, const Bytes& bytes) {
    OnThreadMessage(msg, bytes.data(), bytes.size);
  }
};

/// Image lengths around the block edges: empty, short, one block and a
/// byte either side, several blocks.
constexpr uint32_t kImageSizes[8] = {0, 1, 300, 511, 512, 513, 1024, 1500};

inline bool InTransfer(int32_t state) {
  return state == TftpUploading || state == TftpSending ||
         state == TftpLastBlock;
}

class ClientRig {
 public:
  /// Without `withLog` no Debug Window is open (the slot is empty).
  explicit ClientRig(bool withLog) {
    rig_.slot.store(withLog ? &log_ : nullptr);
    rig_.port->SetSendHook(
        [this](const uint8_t* f, int n) { OnSent(f, n); });
  }

  void SetImage(int index, uint32_t size, uint8_t seed) {
    rig_.SetImage(index, harness::Pattern(size, seed));
  }

  FuzzClient& MakeClient(int32_t regionCode) {
    client_ = std::make_unique<FuzzClient>(rig_.link.get(), &rig_.slot,
                                           harness::kDeviceMac, &rig_.images,
                                           regionCode);
    const uint8_t addr[4] = {10, 0, 0, 2};
    std::memcpy(&client_->ipAddr, addr, 4);
    return *client_;
  }

  FuzzClient& Client() { return *client_; }
  const UploadImages& Images() const { return rig_.images; }

  /// What must hold between any two events, whatever came before.
  void CheckClient() const {
    const CClientThread& c = *client_;
    const int32_t state = c.State();
    FUZZ_CHECK(state >= Created && state <= TftpLastBlock);
    if (c.HasFlag(falseCreation)) FUZZ_CHECK(state == Closed);
    if (c.HasFlag(fwUpgradeDone)) FUZZ_CHECK(c.HasFlag(tftpDone));
    if (InTransfer(state)) {
      FUZZ_CHECK(c.fileIndex >= 0 && c.fileIndex < kImageCount);
      FUZZ_CHECK(rig_.images.Loaded(c.fileIndex));
      FUZZ_CHECK(c.blockNo >= 0);
    }
    if (state == TftpSending || state == TftpLastBlock) {
      const uint8_t* image = rig_.images.buf[c.fileIndex];
      const uint32_t len = rig_.images.len[c.fileIndex];
      FUZZ_CHECK(c.blockNo >= 1);
      FUZZ_CHECK(c.dataLen >= 0 && c.dataLen <= kTftpBlockSize);
      if (state == TftpSending) FUZZ_CHECK(c.dataLen == kTftpBlockSize);
      FUZZ_CHECK(c.dataPtr >= image && c.dataPtr + c.dataLen <= image + len);
    }
  }

 private:
  // Every frame leaves through here while the client is in a consistent
  // state: a DATA block must be the image's own bytes for its number.
  void OnSent(const uint8_t* f, int n) {
    CheckSentFrame(f, n, harness::kServerMac);
    const CClientThread& c = *client_;
    FUZZ_CHECK(std::memcmp(f, c.mac, 6) == 0);
    if (Be16(f + 12) != kEtherTypeIpv4) return;
    const uint8_t* ip = f + kEthHeaderLen;
    FUZZ_CHECK(std::memcmp(ip + 16, &c.ipAddr, 4) == 0);
    FUZZ_CHECK(std::memcmp(ip + 20, &c.localPort, 2) == 0);
    if (Be16(ip + 28) != TFTP_DATA) return;
    FUZZ_CHECK(std::memcmp(ip + 22, &c.peerPort, 2) == 0);
    const uint16_t block = Be16(ip + 30);
    FUZZ_CHECK(block == static_cast<uint16_t>(c.blockNo));
    const int dataLen = n - kEthHeaderLen - 32;
    const int64_t offset = (static_cast<int64_t>(c.blockNo) - 1) * kTftpBlockSize;
    FUZZ_CHECK(offset >= 0 &&
               offset + dataLen <= rig_.images.len[c.fileIndex]);
    FUZZ_CHECK(std::memcmp(ip + 32, rig_.images.buf[c.fileIndex] + offset,
                           static_cast<size_t>(dataLen)) == 0);
  }

  harness::Rig rig_;
  CheckingLog log_;
  std::unique_ptr<FuzzClient> client_;
};

}  // namespace fuzz
