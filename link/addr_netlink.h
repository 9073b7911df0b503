// The few rtnetlink requests the server-address setup needs (list, add and
// delete IPv4 address entries; read and set promote_secondaries; take a
// link up), each
// keeping the kernel's own reason when it refuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct nl_sock;
struct nlmsgerr;
struct sockaddr_nl;

/// One IPv4 address entry as the kernel reports it.
struct AddrEntry {
  int ifindex = 0;
  uint32_t local = 0;     ///< network byte order
  int prefixLen = 0;
  uint32_t flags = 0;     ///< IFA_F_* bits (IFA_FLAGS when the kernel gives it)
  uint8_t protocol = 0;   ///< IFA_PROTO; 0 when the kernel gives none
  char label[16] = {};    ///< IFA_LABEL, at most 15 characters
};

/// A route netlink socket for one call on one thread: a socket is never
/// shared between threads, so every operation that needs one makes its own.
class AddrNetlink {
 public:
  /// Connects; check ok().
  AddrNetlink();
  ~AddrNetlink();
  AddrNetlink(const AddrNetlink&) = delete;
  AddrNetlink& operator=(const AddrNetlink&) = delete;

  bool ok() const { return sock_ != nullptr; }

  /// Every IPv4 address entry of every interface of this network namespace.
  bool DumpAddrs(std::vector<AddrEntry>* out);

  /// Adds `entry` (its protocol and label only when non-zero/non-empty)
  /// with the given broadcast address (network order, 0 for none). Fails
  /// when the same address and prefix are on the interface already.
  bool AddAddr(const AddrEntry& entry, uint32_t broadcast);

  /// Deletes the entry with this interface, address, prefix and label.
  bool DeleteAddr(const AddrEntry& entry);

  /// The interface's own promote_secondaries setting.
  bool GetPromoteSecondaries(int ifindex, uint32_t* value);
  bool SetPromoteSecondaries(int ifindex, uint32_t value);

  /// Sets IFF_UP on the link when it is not set; `wasUp` tells which.
  bool SetLinkUp(int ifindex, bool* wasUp);

  /// errno of the last failure (EEXIST, EPERM, ...); 0 when libnl failed
  /// on its own side.
  int lastErrno() const { return lastErrno_; }
  /// The last failure in words: libnl's text, then the kernel's extended
  /// reason when it gave one.
  const std::string& lastError() const { return lastError_; }

 private:
  bool Fail(int nlError, const char* what);
  static int OnError(sockaddr_nl* from, nlmsgerr* error, void* self);

  nl_sock* sock_ = nullptr;
  int lastErrno_ = 0;
  std::string lastError_;
  std::string kernelText_;  // extended ack text of the last NLMSG_ERROR
};
