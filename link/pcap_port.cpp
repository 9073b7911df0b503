// The libpcap backend of L2_Port, and L2_Open over it: one capture handle in
// non-blocking mode, waited on with poll() beside an eventfd for breaks.
#include "link/pcap_port.h"

#include <linux/filter.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kErrorTextSize = 256;
constexpr int kSnapLen = 1600;
constexpr int kReadTimeoutMs = 10;
// The server's handler keeps only these two EtherTypes; letting the kernel
// drop the rest (ARP, LLDP, spanning tree, ...) spares the server thread a
// wake-up per stray frame.
constexpr char kFilter[] = "ether proto 0x0912 or ip";
// While every transfer reads its device's replies from its own UDP socket,
// the capture has no use for IPv4, and leaving it out spares the server
// thread a wake-up per TFTP ACK.
constexpr char kSkavFilter[] = "ether proto 0x0912";
// How long a send may wait for room in the socket or the device queue.
constexpr auto kSendRetryWindow = std::chrono::milliseconds(kReadTimeoutMs);
constexpr auto kNoBufferPause = std::chrono::microseconds(200);

void SetText(char* errorText, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void SetText(char* errorText, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(errorText, kErrorTextSize, format, args);
  va_end(args);
}

struct Delivery {
  L2_Port::FrameCallback callback;
  void* user;
};

void Deliver(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  const auto* delivery = reinterpret_cast<const Delivery*>(user);
  delivery->callback(delivery->user, bytes, header->caplen);
}

class PcapPort : public L2_Port {
 public:
  PcapPort(pcap_t* pcap, int fd, int breakFd, bpf_program all, bpf_program skavOnly)
      : pcap_(pcap), fd_(fd), breakFd_(breakFd), all_(all), skavOnly_(skavOnly) {}
  ~PcapPort() override {
    pcap_freecode(&all_);
    pcap_freecode(&skavOnly_);
    pcap_close(pcap_);
    close(breakFd_);
  }
  PcapPort(const PcapPort&) = delete;
  PcapPort& operator=(const PcapPort&) = delete;

  int Send(const uint8_t* frame, int len) override;
  WaitResult Wait(int ms) override;
  int Dispatch(int count, FrameCallback callback, void* user) override;
  void Break() override;
  bool DeliversToSockets() const override { return true; }
  void CaptureIpv4(bool on) override;

 private:
  // Consumes a pending break; false when there is none.
  bool TakeBreak();

  pcap_t* pcap_;
  int fd_;       // the handle's packet socket: polled, and sent on
  int breakFd_;  // eventfd: wakes a poll() when a break is asked for
  bpf_program all_;       // SKAV and IPv4, as set at the start
  bpf_program skavOnly_;  // SKAV alone
  // Whether a break is pending. Dispatch runs once per received frame and
  // looks here, not at the eventfd: a read() per frame cost about 1 us.
  std::atomic<bool> breakPending_{false};
};

// Many threads send at once on this one handle, without a lock. In libpcap
// 1.10 on Linux, pcap_sendpacket is a single send() on the handle's
// PF_PACKET socket (it first refuses the "any" device and cooked mode,
// neither of which an opened Ethernet device is); the kernel takes each
// frame whole and nothing in the handle changes on success. What is shared
// is the handle's one error buffer, which every failing send (and a failing
// receive) formats its reason into: concurrent failures would write it at
// the same time, and errno after the call is not promised. So the frame goes
// out by send() on that same socket directly: the same kernel path, with
// errno private to the calling thread and no shared state touched.
//
// Non-blocking mode puts O_NONBLOCK on that socket, so a full socket buffer
// gives EAGAIN and a full device queue ENOBUFS instead of a wait. Both clear
// within microseconds of a burst (many clients' TFTP blocks at once), while a
// lost frame costs its sender a 500 ms retransmission. So a send waits for
// room up to one read timeout (10 ms), then fails; longer would hold up the
// server loop's rhythm and the clients' timers.
int PcapPort::Send(const uint8_t* frame, int len) {
  const Clock::time_point deadline = Clock::now() + kSendRetryWindow;
  for (;;) {
    const ssize_t sent = send(fd_, frame, static_cast<size_t>(len), 0);
    if (sent == len) return 0;
    if (sent >= 0) return -1;  // a datagram is never cut: cannot happen
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return -1;
    if (error == ENOBUFS) {
      // The frame was dropped below the socket; nothing to wait on but time.
      std::this_thread::sleep_for(kNoBufferPause);
    } else {
      pollfd room{fd_, POLLOUT, 0};
      poll(&room, 1, static_cast<int>(left.count()));
    }
  }
}

L2_Port::WaitResult PcapPort::Wait(int ms) {
  pollfd fds[2] = {{breakFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
  const int ready = poll(fds, 2, std::max(ms, 0));
  if (ready < 0) return errno == EINTR ? WaitResult::kTimeout : WaitResult::kError;
  if (fds[0].revents & POLLIN) {
    // Emptied here, whichever call takes the break: a Dispatch may have
    // taken it before the wake-up was written, and an eventfd left readable
    // would make every later poll() return at once.
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(breakFd_, &count, sizeof count);
  }
  if (TakeBreak()) return WaitResult::kBroken;
  if (fds[1].revents & POLLNVAL) return WaitResult::kError;
  // POLLERR and POLLHUP count as readable: pcap_dispatch reads the socket's
  // error and says whether it is fatal (a device gone) or not (a link down).
  if (fds[1].revents != 0) return WaitResult::kReadable;
  return WaitResult::kTimeout;
}

int PcapPort::Dispatch(int count, FrameCallback callback, void* user) {
  if (TakeBreak()) return -2;
  Delivery delivery{callback, user};
  const int n =
      pcap_dispatch(pcap_, count, Deliver, reinterpret_cast<u_char*>(&delivery));
  if (n == PCAP_ERROR_BREAK) return -2;
  return n < 0 ? -1 : n;
}

void PcapPort::Break() {
  breakPending_.store(true, std::memory_order_release);
  const uint64_t one = 1;
  // Fails only when the counter is saturated, and then a break is pending
  // anyway.
  [[maybe_unused]] const ssize_t written = write(breakFd_, &one, sizeof one);
}

// Straight on the socket, not through pcap_setfilter: that one also
// changes the handle's state, which the server thread reads at the same
// moment. A frame the old filter let in is handled as before.
void PcapPort::CaptureIpv4(bool on) {
  const bpf_program& program = on ? all_ : skavOnly_;
  sock_fprog filter{static_cast<unsigned short>(program.bf_len),
                    reinterpret_cast<sock_filter*>(program.bf_insns)};
  // A refusal leaves the previous filter: IPv4 still taken, or left out
  // while a transfer that needs it times out and asks again.
  setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
}

bool PcapPort::TakeBreak() {
  return breakPending_.load(std::memory_order_relaxed) &&
         breakPending_.exchange(false, std::memory_order_acq_rel);
}

// Describes a failed pcap_activate in errorText.
void ActivationError(pcap_t* pcap, int status, const char* name,
                     char* errorText) {
  if (status == PCAP_ERROR_PERM_DENIED) {
    SetText(errorText,
            "No permission to capture on %s: this program needs the "
            "CAP_NET_RAW and CAP_NET_ADMIN capabilities. Run it as root, or "
            "grant them once with: setcap cap_net_raw,cap_net_admin+eip "
            "<program file>",
            name);
    return;
  }
  const char* reason = pcap_geterr(pcap);
  if (reason == nullptr || reason[0] == '\0') reason = pcap_statustostr(status);
  SetText(errorText, "%s: %s", name, reason);
}

}  // namespace

std::unique_ptr<L2_Port> PcapPortOpen(const char* name, char* errorText) {
  errorText[0] = '\0';
  pcap_t* pcap = pcap_create(name, errorText);
  if (pcap == nullptr) return nullptr;
  auto fail = [pcap](int breakFd) -> std::unique_ptr<L2_Port> {
    if (breakFd >= 0) close(breakFd);
    pcap_close(pcap);
    return nullptr;
  };

  pcap_set_snaplen(pcap, kSnapLen);
  pcap_set_promisc(pcap, 0);
  pcap_set_timeout(pcap, kReadTimeoutMs);
  // Without it the kernel holds a lone small frame (every TFTP ACK) for up
  // to the read timeout.
  pcap_set_immediate_mode(pcap, 1);
  const int status = pcap_activate(pcap);
  if (status < 0) {
    ActivationError(pcap, status, name, errorText);
    return fail(-1);
  }
  // Every frame sent carries an Ethernet header pushed by L2_TxPkt.
  if (pcap_datalink(pcap) != DLT_EN10MB) {
    SetText(errorText, "%s is not an Ethernet device", name);
    return fail(-1);
  }
  // Frames that other sockets of this host send on the device would
  // otherwise be captured too.
  if (pcap_setdirection(pcap, PCAP_D_IN) < 0) {
    SetText(errorText, "%s", pcap_geterr(pcap));
    return fail(-1);
  }
  bpf_program program, skavOnly;
  if (pcap_compile(pcap, &program, kFilter, 1, PCAP_NETMASK_UNKNOWN) < 0) {
    SetText(errorText, "%s", pcap_geterr(pcap));
    return fail(-1);
  }
  if (pcap_compile(pcap, &skavOnly, kSkavFilter, 1, PCAP_NETMASK_UNKNOWN) < 0) {
    SetText(errorText, "%s", pcap_geterr(pcap));
    pcap_freecode(&program);
    return fail(-1);
  }
  auto failFreeing = [&](int breakFd) {
    pcap_freecode(&program);
    pcap_freecode(&skavOnly);
    return fail(breakFd);
  };
  if (pcap_setfilter(pcap, &program) < 0) {
    SetText(errorText, "%s", pcap_geterr(pcap));
    return failFreeing(-1);
  }
  // A blocking pcap_dispatch does not return when the read timeout expires
  // on an idle link; the wait is ours (poll with a deadline), and dispatch
  // only takes what is already there.
  if (pcap_setnonblock(pcap, 1, errorText) < 0) return failFreeing(-1);
  const int fd = pcap_get_selectable_fd(pcap);
  if (fd < 0) {
    SetText(errorText, "%s has no descriptor to wait on", name);
    return failFreeing(-1);
  }
  // Non-blocking mode closes libpcap's own wake-up descriptor, so breaks
  // travel through one of ours.
  const int breakFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (breakFd < 0) {
    SetText(errorText, "eventfd: %s", std::strerror(errno));
    return failFreeing(-1);
  }
  auto* port = new (std::nothrow) PcapPort(pcap, fd, breakFd, program, skavOnly);
  if (port == nullptr) {
    SetText(errorText, "malloc() fails");
    return failFreeing(breakFd);
  }
  errorText[0] = '\0';
  return std::unique_ptr<L2_Port>(port);
}

L2_If* L2_Open(const char* name, const char* description, char* errorText) {
  auto* iface = new (std::nothrow) L2_If;
  if (iface == nullptr) {
    SetText(errorText, "malloc() fails");
    return nullptr;
  }
  iface->port = PcapPortOpen(name, errorText);
  if (!iface->port) {
    delete iface;
    return nullptr;
  }
  iface->ifIndex = L2_GetIfIndex(description, iface);
  if (iface->ifIndex == 0) {
    SetText(errorText, "Fail to get the interface's MAC");
    delete iface;  // closes the capture
    return nullptr;
  }
  // No transfer reads from the capture yet.
  iface->port->CaptureIpv4(false);
  errorText[0] = '\0';
  return iface;
}
