// The opened capture interface: sending, receiving and breaking the receive
// wait, over a backend port (libpcap on a real device, memory in tests).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "report/debug_print.h"
#include "link/pkt_buf.h"

constexpr uint16_t kEtherTypeSkav = 0x0912;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr int kEthHeaderLen = 14;
constexpr int kMaxPayload = 1500;

/// A captured frame; the bytes belong to the backend and are valid only
/// while the handler runs.
struct L2_Frame {
  uint32_t length;       ///< bytes captured
  const uint8_t* bytes;  ///< first byte: the destination MAC
};

/// Receiver of frames: function(context, frame); its result is ignored.
struct L2_RxHandler {
  int (*function)(void* context, const L2_Frame& frame);
  void* context;
};

/// What an opened interface offers below the frame layer. One backend file
/// per kind of port; the generic code in l2_if.cpp never looks inside.
class L2_Port {
 public:
  virtual ~L2_Port() = default;

  /// Sends one whole frame. 0 on success, -1 on failure. Called from many
  /// threads at once.
  virtual int Send(const uint8_t* frame, int len) = 0;

  enum class WaitResult { kReadable, kTimeout, kBroken, kError };
  /// Waits at most `ms` milliseconds until frames can be dispatched or a
  /// break is pending. A pending break is consumed and reported as kBroken.
  virtual WaitResult Wait(int ms) = 0;

  using FrameCallback = void (*)(void* user, const uint8_t* bytes,
                                 uint32_t caplen);
  /// Delivers up to `count` waiting frames without blocking. Returns the
  /// number delivered, -1 on a capture error, -2 when a break is pending
  /// (the break is consumed).
  virtual int Dispatch(int count, FrameCallback callback, void* user) = 0;

  /// Makes the receive in progress end, or the next one end at once.
  /// Callable from any thread; never lost.
  virtual void Break() = 0;

  /// Whether the system's own IP stack also gets what arrives here, so
  /// that a UDP socket of ours receives the datagrams addressed to
  /// 10.0.0.1 (a real device: yes; an in-process port: no).
  virtual bool DeliversToSockets() const { return false; }
  /// Takes IPv4 frames into the capture (true) or leaves them to the
  /// system (false); SKAV frames are always taken. Callable from any
  /// thread, one at a time.
  virtual void CaptureIpv4(bool on) { (void)on; }
};

/// An opened interface: its MAC and its port. Read, never changed, by all
/// threads between L2_Open and L2_Close (but for the capture holds below).
struct L2_If {
  uint8_t mac[6] = {};
  std::unique_ptr<L2_Port> port;
  uint32_t ifIndex = 0;  ///< the system's index of the link when opened

  std::mutex captureMu;
  int ipv4CaptureHolds = 0;  ///< guarded by captureMu
};

/// Whether a transfer may read its device's replies from a UDP socket of
/// its own instead of the capture: the port's DeliversToSockets.
bool L2_SocketInput(const L2_If* iface);
/// A transfer that reads its replies from the capture holds IPv4 capture
/// while it does; a port that delivers to sockets captures IPv4 only while
/// at least one such hold is taken.
void L2_HoldIpv4Capture(L2_If* iface);
void L2_ReleaseIpv4Capture(L2_If* iface);

/// Opens capture device `name` (snaplen 1600, not promiscuous, 10 ms read
/// timeout, immediate mode) and finds its MAC by `description`. Returns
/// nullptr with a reason in errorText (256 bytes) on failure.
L2_If* L2_Open(const char* name, const char* description, char* errorText);

/// Closes the port and releases the record. Accepts nullptr. Returns 0.
int L2_Close(L2_If* iface);

/// Makes the L2_RxPkts in progress return 2 within one read timeout, or
/// the next one return 2 at once. Returns 0.
int L2_BreakLoop(L2_If* iface);

/// Receives for `ms` milliseconds, handing frames to `handler`.
/// 0: time ran out; 2: broken by L2_BreakLoop; 3: capture error (after an
/// ErrorBox "Failure in pcap_dispatch()" and after the rest of the time).
int L2_RxPkts(L2_If* iface, const L2_RxHandler& handler, int ms);

/// Pushes the Ethernet header in front of buf's payload and sends it.
/// 0 sent; 4 payload over 1500 bytes (buf unchanged); 5 no head room;
/// 6 the port failed. SKAV frames are parsed and dumped to `logWindow`
/// when one is given. The header stays in buf afterwards.
int L2_TxPkt(L2_If* iface, const uint8_t dst[6], uint16_t etherType,
             PktBuf& buf, LogSink* logWindow);

/// True when the link `iface` was opened on is no longer there: no link is
/// named `name` any more, or a new one is (a pulled and re-plugged
/// adapter gets a new index). A link that is only down is still there.
bool L2_IfGone(const L2_If* iface, const char* name);

/// Index of the system link whose name matches `description` (an exact
/// name first, then the shrinking-prefix walk); fills iface->mac when
/// iface is given. 0 when none matches.
uint32_t L2_GetIfIndex(const char* description, L2_If* iface);
