// Fuzz target: received TFTP traffic (TFTPRxDatagram, and TFTPRxPkt on its
// own) and timer expiries fed to a client in TFTP-Uploading, TFTP-Sending
// or TFTP-LastBlock.
//
// Input: one set-up byte, then records (see fuzz::Records):
//   set-up  bits 0-1 state: 0 or 3 Uploading, 1 Sending, 2 LastBlock
//           bits 2-4 image length (kImageSizes), bit 5 string table 3
//           instead of the firmware, bit 6 no Debug Window open
//   record  op & 3: 0 packet as given; 1 packet repaired to reach the
//           client's port (op bit 2: from the device's port too;
//           op bit 3: lengths as given); 2 TFTP payload straight to
//           TFTPRxPkt; 3 timer expiry
#include <cstddef>
#include <cstdint>

#include "client_rig.h"
#include "transfer/tftp.h"

namespace {

const uint16_t kLocalPort = harness::NetPort(50000);
const uint16_t kDevicePort = harness::NetPort(40000);

// Restarts the client's timer the way its own handlers do.
void Restart(fuzz::FuzzClient& c, uint32_t ms) {
  if (c.timerId != 0) c.KillTimer(c.timerId);
  c.timerId = c.SetTimer(ms);
}

// Puts the client where TFTPStartUpload leaves it, without the socket that
// only reserves the port.
void StartUpload(fuzz::FuzzClient& c, int fileIndex) {
  c.fileIndex = fileIndex;
  c.localPort = kLocalPort;
  c.peerPort = harness::NetPort(69);
  c.ipId = 1000;
  c.retryCount = 0;
  c.blockNo = 0;
  c.dataPtr = nullptr;
  c.dataLen = 0;
  c.SetState(TftpUploading);
  Restart(c, kTftpTimerMs);
}

// Acknowledges blocks, as the device would, until `state` is reached.
void AckUntil(fuzz::ClientRig& rig, int32_t state) {
  fuzz::FuzzClient& c = rig.Client();
  for (int i = 0; i < 8 && c.State() != state; ++i) {
    const auto pkt = harness::DevicePacket(
        40000, 50000, harness::Ack(static_cast<uint16_t>(c.blockNo)));
    fuzz::Bytes bytes(pkt.data(), pkt.size());
    c.TFTPRxDatagram(bytes.data(), bytes.size);
    rig.CheckClient();
  }
  FUZZ_CHECK(c.State() == state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  int32_t target = (setup & 3) == 1   ? TftpSending
                   : (setup & 3) == 2 ? TftpLastBlock
                                      : TftpUploading;
  uint32_t imageLen = fuzz::kImageSizes[(setup >> 2) & 7];
  // TFTP-Sending needs at least one whole block before the last one.
  if (target == TftpSending && imageLen < kTftpBlockSize)
    imageLen += kTftpBlockSize;
  const int fileIndex = (setup & 0x20) ? 3 : 0;

  fuzz::ClientRig rig(!(setup & 0x40));
  rig.SetImage(fileIndex, imageLen, 7);
  fuzz::FuzzClient& c = rig.MakeClient(0);
  StartUpload(c, fileIndex);
  if (target != TftpUploading) AckUntil(rig, target);

  fuzz::Records records(data + 1, size - 1);
  uint8_t op;
  fuzz::Bytes bytes;
  while (records.Next(op, bytes)) {
    switch (op & 3) {
      case 0:
        c.TFTPRxDatagram(bytes.data(), bytes.size);
        break;
      case 1:
        fuzz::RepairDatagram(bytes, c.localPort, (op & 4) ? c.peerPort : 0,
                             (op & 8) != 0);
        c.TFTPRxDatagram(bytes.data(), bytes.size);
        break;
      case 2: {
        if (!fuzz::InTransfer(c.State())) break;  // as TFTPRxDatagram does
        // Past TFTP-Uploading only the device's own port gets this far.
        const uint16_t from =
            c.State() == TftpUploading ? kDevicePort : c.peerPort;
        uint32_t timerMs = 0;
        c.SetState(TFTPRxPkt(c, bytes.data(), static_cast<int>(bytes.size),
                             from, &timerMs));
        FUZZ_CHECK(timerMs == 0 || timerMs == kTftpTimerMs ||
                   timerMs == kActiveTimerMs);
        if (timerMs != 0) Restart(c, timerMs);
        break;
      }
      default:
        c.SKAVDOnTimer();
        break;
    }
    FUZZ_TRACE("op %u, %zu bytes: state %d, block %d\n", op & 3u, bytes.size,
               static_cast<int>(c.State()), static_cast<int>(c.blockNo));
    rig.CheckClient();
    FUZZ_CHECK(c.State() != Created);
  }
  return 0;
}
