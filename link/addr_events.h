// The kernel's word that an IPv4 address went away, so that a run can put
// its server address back at once instead of at its next look.
#pragma once

/// A netlink socket subscribed to IPv4 address changes of this network
/// namespace; non-blocking, for the front end's wait.
class L2_AddrEvents {
 public:
  /// Subscribes; without a socket fd() is -1 and Drain() always says yes,
  /// so the caller falls back to looking every time.
  L2_AddrEvents();
  ~L2_AddrEvents();
  L2_AddrEvents(const L2_AddrEvents&) = delete;
  L2_AddrEvents& operator=(const L2_AddrEvents&) = delete;

  /// The descriptor that becomes readable when an event is waiting.
  int fd() const { return fd_; }
  /// Reads every waiting event. True when an address was removed from
  /// link `ifindex` or events were lost (the kernel's queue overflowed).
  bool Drain(int ifindex);

 private:
  int fd_ = -1;
};
