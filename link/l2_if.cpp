// The frame layer over any L2_Port: the Ethernet header on the way out, the
// runt and own-frame drops on the way in, and the timed receive loop.
#include "link/l2_if.h"

#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/skav_msg.h"

namespace {

using Clock = std::chrono::steady_clock;

// The device's read timeout: no wait lasts longer before the loop looks at
// its deadline again.
constexpr int kSliceMs = 10;
// Frames handed over per dispatch call.
constexpr int kDispatchCount = 10;

struct RxContext {
  const L2_If* iface;
  const L2_RxHandler* handler;
};

// Milliseconds left before `deadline`, rounded up: the last fraction of a
// millisecond is waited in one slice rather than spun through with 0 ms
// waits.
int RemainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  return static_cast<int>((us + 999) / 1000);
}

// Reports the capture error, then uses up the receive's time. The caller
// (the server loop) comes straight back for its next cycle; with an error
// sink that returns at once, as the headless runner's does, returning early
// would turn that loop into a spin. A break still ends the wait: its wake-up
// is what the breaker wanted, and the caller sees 3 and moves on.
// A port that has left the machine is said once by the run's supervisor,
// which stops the run; a box here would only stand in the way.
bool PortLeft(const L2_If& iface) {
  char name[IF_NAMESIZE];
  return iface.ifIndex != 0 && if_indextoname(iface.ifIndex, name) == nullptr;
}

int CaptureFailed(const L2_If& iface, L2_Port& port, Clock::time_point deadline) {
  if (!PortLeft(iface)) ErrorBox("Failure in pcap_dispatch()");
  for (int left; (left = RemainingMs(deadline)) > 0;) {
    const int slice = std::min(left, kSliceMs);
    switch (port.Wait(slice)) {
      case L2_Port::WaitResult::kBroken:
        return 3;
      case L2_Port::WaitResult::kTimeout:
        break;
      case L2_Port::WaitResult::kReadable:
      case L2_Port::WaitResult::kError:
        // Frames stay unread (or the wait itself fails), so Wait returns at
        // once; sleep the slice instead of polling again straight away.
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        break;
    }
  }
  return 3;
}

}  // namespace

// Called by the port for every captured frame; `user` is the RxContext.
static void L2_RxCallback(void* user, const uint8_t* bytes, uint32_t caplen) {
  const auto* ctx = static_cast<const RxContext*>(user);
  if (caplen < static_cast<uint32_t>(kEthHeaderLen)) return;
  if (std::memcmp(bytes + 6, ctx->iface->mac, 6) == 0) return;
  ctx->handler->function(ctx->handler->context, L2_Frame{caplen, bytes});
}

int L2_TxPkt(L2_If* iface, const uint8_t dst[6], uint16_t etherType,
             PktBuf& buf, LogSink* logWindow) {
  if (buf.len > kMaxPayload) return 4;
  uint8_t* eth = PktBufPush(buf, kEthHeaderLen);
  if (eth == nullptr) return 5;
  std::memmove(eth, dst, 6);
  std::memcpy(eth + 6, iface->mac, 6);
  eth[12] = static_cast<uint8_t>(etherType >> 8);
  eth[13] = static_cast<uint8_t>(etherType);
  if (iface->port->Send(buf.data, buf.len) < 0) return 6;
  if (logWindow != nullptr && etherType == kEtherTypeSkav) {
    SKAV_TxLog(buf.data + kEthHeaderLen,
               static_cast<size_t>(buf.len - kEthHeaderLen), eth, logWindow);
  }
  return 0;
}

int L2_RxPkts(L2_If* iface, const L2_RxHandler& handler, int ms) {
  L2_Port& port = *iface->port;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  RxContext ctx{iface, &handler};

  // Even a receive without time looks once at what is waiting (and at a
  // pending break).
  if (ms <= 0) {
    const int n = port.Dispatch(kDispatchCount, L2_RxCallback, &ctx);
    if (n == -2) return 2;
    if (n < 0) return CaptureFailed(*iface, port, deadline);
    return 0;
  }

  for (int left; (left = RemainingMs(deadline)) > 0;) {
    switch (port.Wait(std::min(left, kSliceMs))) {
      case L2_Port::WaitResult::kBroken:
        return 2;
      case L2_Port::WaitResult::kError:
        return CaptureFailed(*iface, port, deadline);
      case L2_Port::WaitResult::kTimeout:
        break;
      case L2_Port::WaitResult::kReadable: {
        const int n = port.Dispatch(kDispatchCount, L2_RxCallback, &ctx);
        if (n == -2) return 2;
        if (n < 0) return CaptureFailed(*iface, port, deadline);
        break;
      }
    }
  }
  return 0;
}

bool L2_IfGone(const L2_If* iface, const char* name) {
  const unsigned index = if_nametoindex(name);
  // An index that cannot be told (no socket to ask through) is no proof of
  // loss; only a definite answer counts.
  if (index == 0) return errno == ENODEV || errno == ENXIO;
  return iface->ifIndex != 0 && index != iface->ifIndex;
}

bool L2_SocketInput(const L2_If* iface) { return iface->port->DeliversToSockets(); }

void L2_HoldIpv4Capture(L2_If* iface) {
  std::lock_guard<std::mutex> lock(iface->captureMu);
  if (iface->ipv4CaptureHolds++ == 0) iface->port->CaptureIpv4(true);
}

void L2_ReleaseIpv4Capture(L2_If* iface) {
  std::lock_guard<std::mutex> lock(iface->captureMu);
  if (iface->ipv4CaptureHolds > 0 && --iface->ipv4CaptureHolds == 0)
    iface->port->CaptureIpv4(false);
}

int L2_BreakLoop(L2_If* iface) {
  iface->port->Break();
  return 0;
}

int L2_Close(L2_If* iface) {
  delete iface;  // the port's destructor closes the capture
  return 0;
}
