// Fuzz target: SKAVDRxFrame's classification of received frames — which
// are dropped, which reach a client, which create one — with the real
// client threads behind it, all ended again after every input.
//
// Input: records (see fuzz::Records), one Ethernet frame each. With op
// bit 2 set the frame's source MAC is replaced by kSourceMacs[op & 3], so
// that later frames find the clients earlier ones created; with op bit 3
// the frame goes through the link's receive (L2_RxPkts), which drops runts
// and the interface's own frames, instead of straight to SKAVDRxFrame.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>

#include "fuzz_support.h"
#include "link/memory_port.h"
#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "protocol/server_thread.h"

namespace {

using Mac = std::array<uint8_t, 6>;

const uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kSourceMacs[4][6] = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                                   {0x00, 0x11, 0x22, 0x33, 0x44, 0x56},
                                   {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                                   {0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};

// Images shared by every input, in exact-size blocks.
struct Images {
  std::unique_ptr<uint8_t[]> firmware{new uint8_t[700]};
  std::unique_ptr<uint8_t[]> table3{new uint8_t[513]};
  Images() {
    std::memset(firmware.get(), 0xA5, 700);
    std::memset(table3.get(), 0x5A, 513);
  }
};

// The list must be strictly ascending by MAC and hold exactly the devices
// that sent a CONF-REQ.
void CheckList(const std::set<Mac>& expected) {
  auto want = expected.begin();
  const CClientThread* prev = nullptr;
  for (const CClientThread* c = gClientList; c; c = c->Next()) {
    if (prev) FUZZ_CHECK(std::memcmp(prev->mac, c->mac, 6) < 0);
    FUZZ_CHECK(want != expected.end());
    FUZZ_CHECK(std::memcmp(want->data(), c->mac, 6) == 0);
    ++want;
    prev = c;
  }
  FUZZ_CHECK(want == expected.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Images images;
  static fuzz::CheckingLog log;
  static LogSlot slot{&log};

  MemoryPort* port = nullptr;
  std::unique_ptr<L2_If> link = MakeMemoryIf(kServerMac, &port);
  // Called on the client threads: the checks keep no state.
  port->SetSendHook(
      [](const uint8_t* f, int n) { fuzz::CheckSentFrame(f, n, kServerMac); });

  auto ctx = std::make_unique<SKAVDContext>();
  ctx->logSlot = &slot;
  ctx->link = link.get();
  ctx->regionCode = 2;
  ctx->images.buf[0] = images.firmware.get();
  ctx->images.len[0] = 700;
  ctx->images.buf[3] = images.table3.get();
  ctx->images.len[3] = 513;
  ctx->images.stMask = 1u << 2;
  ctx->running.store(1);

  FUZZ_CHECK(gClientList == nullptr);
  const L2_RxHandler handler{SKAVDRxFrame, ctx.get()};
  std::set<Mac> clients;
  fuzz::Records records(data, size);
  uint8_t op;
  fuzz::Bytes frame;
  while (records.Next(op, frame)) {
    uint8_t* f = frame.data();
    const size_t n = frame.size;
    if ((op & 4) && n >= 12) std::memcpy(f + 6, kSourceMacs[op & 3], 6);
    const bool viaLink = (op & 8) != 0;

    const bool creates = n >= 20 && fuzz::Be16(f + 12) == kEtherTypeSkav &&
                         f[16] == SKAV_CONF_REQ &&
                         !(viaLink && std::memcmp(f + 6, kServerMac, 6) == 0);
    if (creates) clients.insert(Mac{f[6], f[7], f[8], f[9], f[10], f[11]});

    if (viaLink) {
      port->Inject(MemoryPort::Frame(f, f + n));
      // A client reaching Closed breaks the receive; the frame then waits
      // for the next one.
      while (L2_RxPkts(link.get(), handler, 0) == 2) {
      }
    } else {
      SKAVDRxFrame(ctx.get(), L2_Frame{static_cast<uint32_t>(n), f});
    }
    FUZZ_TRACE("op %u, %zu bytes: %zu clients\n", static_cast<unsigned>(op),
               n, clients.size());
    CheckList(clients);
  }

  SKAVDEndAllClients();
  FUZZ_CHECK(gClientList == nullptr);
  return 0;
}
