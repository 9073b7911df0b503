// Fuzz target: SKAV messages, IPv4 packets and timer expiries fed, in any
// order, to a client that starts in Created or 'Active' — the whole state
// machine, uploads included, driven by what a device may send.
//
// Input: one set-up byte, then records (see fuzz::Records):
//   set-up  bit 0 start 'Active' (a CONF-REQ first); bits 1-2 images:
//           none, firmware, firmware + table 3, tables 1 and 3; bit 3 a
//           region code; bits 4-6 image length (kImageSizes); bit 7 no
//           Debug Window open
//   record  op & 3: 0 SKAV message; 1 IPv4 packet as given; 2 IPv4 packet
//           repaired to reach the client's port (op bit 2: from the
//           device's port too; op bit 3: lengths as given); 3 timer expiry
//
// An upload start opens a UDP socket that only reserves a port (nothing
// is sent on it); scripts/fuzz.sh runs this target in a network namespace
// of its own.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "client_rig.h"
#include "protocol/msg_thread.h"

namespace {

// 6-byte header, no options: a CONF-REQ's options are not looked at.
const uint8_t kConfReq[] = {0x00, 0x00, 0x02, 0x00, 0x00, 0x06};

// The lowest free descriptor: a socket left open takes it.
int LowestFreeFd() {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int firstFreeFd = LowestFreeFd();
  const uint8_t setup = data[0];
  const uint32_t imageLen = fuzz::kImageSizes[(setup >> 4) & 7];

  {
    fuzz::ClientRig rig(!(setup & 0x80));
    switch ((setup >> 1) & 3) {
      case 1:
        rig.SetImage(0, imageLen, 1);
        break;
      case 2:
        rig.SetImage(0, imageLen, 1);
        rig.SetImage(3, imageLen / 2, 3);
        break;
      case 3:
        rig.SetImage(1, imageLen, 5);
        rig.SetImage(3, 513, 3);
        break;
      default:
        break;
    }
    fuzz::FuzzClient& c = rig.MakeClient((setup & 8) ? 2 : 0);
    if (setup & 1) {
      c.Deliver(WM_SKAV_MSG, fuzz::Bytes(kConfReq, sizeof kConfReq));
      FUZZ_CHECK(c.State() == Active);
    }

    fuzz::Records records(data + 1, size - 1);
    uint8_t op;
    fuzz::Bytes bytes;
    while (records.Next(op, bytes)) {
      switch (op & 3) {
        case 0:
          c.Deliver(WM_SKAV_MSG, bytes);
          break;
        case 1:
          c.Deliver(WM_IP_PKT, bytes);
          break;
        case 2:
          fuzz::RepairDatagram(bytes, c.localPort, (op & 4) ? c.peerPort : 0,
                               (op & 8) != 0);
          c.Deliver(WM_IP_PKT, bytes);
          break;
        default:
          c.SKAVDOnTimer();
          break;
      }
      FUZZ_TRACE("op %u, %zu bytes: state %d, block %d\n", op & 3u, bytes.size,
               static_cast<int>(c.State()), static_cast<int>(c.blockNo));
      rig.CheckClient();
    }
  }
  // The client is gone: every socket it opened must be closed again.
  FUZZ_CHECK(LowestFreeFd() <= firstFreeFd);
  return 0;
}
