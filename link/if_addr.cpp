// The server address at Start: remove the copies earlier runs left on
// interfaces no running server claims, then put the address on the chosen
// interface, marked as this program's own, unless another program put
// exactly that there already (then the run uses it as it is).
#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <net/if.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/addr_netlink.h"
#include "link/if_addr_mark.h"
#include "link/if_claim.h"
#include "link/if_list.h"
#include "link/l2_if.h"

namespace {

constexpr size_t kReasonSize = 256;
constexpr size_t kMaxLabel = 15;  // the kernel's IFNAMSIZ less the zero byte

thread_local char tReason[kReasonSize];
thread_local bool tFound = false;  // the last Start found the address in place

void SetReason(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetReason(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(tReason, sizeof tReason, format, args);
  va_end(args);
}

// Missing rights get the exact remedy, naming this very program.
void SetPermissionReason(const char* what) {
  char exe[128];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) n = snprintf(exe, sizeof exe, "%s", "<program>");
  exe[n] = '\0';
  SetReason("%s needs the CAP_NET_ADMIN capability: run as root, or grant it with "
            "'setcap cap_net_raw,cap_net_admin+eip %s'",
            what, exe);
}

L2_AddrMark RunningKernelMark() {
  static const L2_AddrMark mark = [] {
    utsname u;
    return uname(&u) == 0 ? L2_AddrMarkFor(u.release) : L2_AddrMark::kLabel;
  }();
  return mark;
}

bool MaskToPrefix(uint32_t maskNet, int* prefix) {
  uint32_t m = ntohl(maskNet);
  int p = __builtin_popcount(m);
  uint32_t contiguous = p == 0 ? 0 : ~0u << (32 - p);
  if (m != contiguous) return false;
  *prefix = p;
  return true;
}

uint32_t PrefixMask(int prefix) {
  return htonl(prefix == 0 ? 0 : ~0u << (32 - prefix));
}

bool ServerLabel(int ifindex, char (&label)[16]) {
  char name[IF_NAMESIZE];
  if (if_indextoname(static_cast<unsigned>(ifindex), name) == nullptr) return false;
  size_t nameLen = std::strlen(name);
  size_t suffixLen = std::strlen(kServerLabelSuffix);
  if (nameLen + suffixLen > kMaxLabel) return false;
  std::memcpy(label, name, nameLen);
  std::memcpy(label + nameLen, kServerLabelSuffix, suffixLen + 1);
  return true;
}

bool IsServerAddr(const AddrEntry& e, L2_AddrMark mark) {
  if (mark == L2_AddrMark::kProtocol) return e.protocol == kServerAddrProtocol;
  char label[16];
  return ServerLabel(e.ifindex, label) && std::strcmp(label, e.label) == 0;
}

bool SameEntry(const AddrEntry& a, const AddrEntry& b) {
  return a.ifindex == b.ifindex && a.local == b.local && a.prefixLen == b.prefixLen;
}

void NoteRefusal(const AddrNetlink& nl, const AddrEntry& e, const char* what) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &e.local, text, sizeof text);
  if (nl.lastErrno() == EPERM) {
    SetPermissionReason("removing an earlier server address");
    return;
  }
  SetReason("the server address %s/%d left by an earlier run stays (%s): %s", text,
            e.prefixLen, what, nl.lastError().c_str());
}

// Deleting a primary address also deletes every secondary address of its
// subnet unless the interface promotes them; a user's own 10.x/8 address
// added after ours is such a secondary. So promotion is switched on for
// the deletion and put back afterwards; if that cannot be done, ours stays.
void RemoveServerAddr(AddrNetlink& nl, const AddrEntry& ours,
                      const std::vector<AddrEntry>& all) {
  bool shields = false;
  if ((ours.flags & IFA_F_SECONDARY) == 0) {
    uint32_t mask = PrefixMask(ours.prefixLen);
    for (const AddrEntry& o : all) {
      if (o.ifindex == ours.ifindex && (o.flags & IFA_F_SECONDARY) != 0 &&
          o.prefixLen == ours.prefixLen && (o.local & mask) == (ours.local & mask))
        shields = true;
    }
  }
  uint32_t before = 1;
  if (shields) {
    if (!nl.GetPromoteSecondaries(ours.ifindex, &before)) {
      NoteRefusal(nl, ours, "other addresses depend on it");
      return;
    }
    if (before == 0 && !nl.SetPromoteSecondaries(ours.ifindex, 1)) {
      NoteRefusal(nl, ours, "other addresses depend on it");
      return;
    }
  }
  if (!nl.DeleteAddr(ours)) NoteRefusal(nl, ours, "delete refused");
  if (shields && before == 0 && !nl.SetPromoteSecondaries(ours.ifindex, 0)) {
    SetReason("promote_secondaries of interface %d could not be switched back off: %s",
              ours.ifindex, nl.lastError().c_str());
  }
}

}  // namespace

L2_AddrMark L2_AddrMarkFor(const char* release) {
  int major = 0, minor = 0;
  if (release == nullptr || std::sscanf(release, "%d.%d", &major, &minor) != 2)
    return L2_AddrMark::kLabel;
  return (major > 5 || (major == 5 && minor >= 18)) ? L2_AddrMark::kProtocol
                                                    : L2_AddrMark::kLabel;
}

namespace {

// A marked address is a server's until its server has stopped: one on an
// interface that a running server claims stays, unless that interface is
// `ownIfindex`, which the caller serves (its stale address is the one it
// replaces). Without the claim guard no claim can be read, so then only
// the own interface is cleaned.
int ClearMarked(L2_AddrMark mark, int ownIfindex) {
  tReason[0] = '\0';
  AddrNetlink nl;
  std::vector<AddrEntry> entries;
  if (!nl.ok() || !nl.DumpAddrs(&entries)) {
    SetReason("cannot read the address list of the interfaces: %s", nl.lastError().c_str());
    return 1;
  }
  // Held over the whole clean-up, so that no server claims an interface
  // between the look at its claim and the deletion of its address.
  const L2_ClaimGuard guard;
  const auto mayRemove = [&](const AddrEntry& e) {
    if (e.ifindex == ownIfindex) return true;
    if (!guard.ok()) return false;
    char name[IF_NAMESIZE];
    return if_indextoname(static_cast<unsigned>(e.ifindex), name) != nullptr &&
           !guard.Claimed(name);
  };
  // One at a time with a fresh list each time: a deletion can promote a
  // secondary address and change which entry is primary.
  std::vector<AddrEntry> tried;
  for (;;) {
    const AddrEntry* next = nullptr;
    for (const AddrEntry& e : entries) {
      if (!IsServerAddr(e, mark)) continue;
      bool seen = false;
      for (const AddrEntry& t : tried) seen = seen || SameEntry(t, e);
      if (seen) continue;
      if (!mayRemove(e)) {
        tried.push_back(e);
        continue;
      }
      next = &e;
      break;
    }
    if (next == nullptr) break;
    tried.push_back(*next);
    RemoveServerAddr(nl, *next, entries);
    if (!nl.DumpAddrs(&entries)) break;
  }
  return 0;
}

}  // namespace

int L2_ClearIfAddrsMarked(L2_AddrMark mark) { return ClearMarked(mark, 0); }

namespace {

// The server address entry for the interface of `description`, marked as
// this program's own, with its broadcast address; false with the reason.
bool ServerEntry(L2_AddrMark mark, const char* description, const char* addr,
                 const char* mask, AddrEntry* entry, uint32_t* broadcast) {
  tReason[0] = '\0';
  if (description == nullptr || addr == nullptr || mask == nullptr) {
    SetReason("no interface, address or mask given");
    return false;
  }
  in_addr local{}, netmask{};
  int prefix = 0;
  if (inet_pton(AF_INET, addr, &local) != 1) {
    SetReason("'%s' is not an IPv4 address", addr);
    return false;
  }
  if (inet_pton(AF_INET, mask, &netmask) != 1 || !MaskToPrefix(netmask.s_addr, &prefix)) {
    SetReason("'%s' is not a network mask", mask);
    return false;
  }
  uint32_t ifindex = L2_GetIfIndex(description, nullptr);
  if (ifindex == 0) {
    SetReason("no network interface of this machine is named '%s'", description);
    return false;
  }

  entry->ifindex = static_cast<int>(ifindex);
  entry->local = local.s_addr;
  entry->prefixLen = prefix;
  if (mark == L2_AddrMark::kProtocol) {
    entry->protocol = kServerAddrProtocol;
  } else if (!ServerLabel(entry->ifindex, entry->label)) {
    SetReason("this kernel marks the server address by the label '%s%s', which does not fit "
              "the 15 characters the kernel allows; rename the interface or use Linux 5.18 "
              "or later",
              description, kServerLabelSuffix);
    return false;
  }
  *broadcast = prefix < 31 ? (local.s_addr | ~PrefixMask(prefix)) : 0;
  return true;
}

// Adds `entry`; false with the reason in words. `leftover` is an earlier
// refusal of the clean-up that explains an address already there.
bool AddServerEntry(const AddrEntry& entry, uint32_t broadcast, const char* addr,
                    const char* description, const std::string& leftover) {
  AddrNetlink nl;
  if (!nl.ok() || !nl.AddAddr(entry, broadcast)) {
    if (nl.lastErrno() == EPERM) {
      SetPermissionReason("putting the server address on an interface");
    } else if (nl.lastErrno() == EEXIST) {
      SetReason("%s/%d is on '%s' already and was not put there by this program; remove it "
                "or choose another interface%s%s",
                addr, entry.prefixLen, description, leftover.empty() ? "" : "; ",
                leftover.c_str());
    } else {
      SetReason("%s/%d on '%s': %s", addr, entry.prefixLen, description,
                nl.lastError().c_str());
    }
    return false;
  }
  tReason[0] = '\0';
  return true;
}

enum class Found { kNothing, kOnThePort, kInTheWay };

// The server address as another program put it (not marked as ours). On
// the port with the server's prefix, it is the address the run needs. With
// another prefix on the port, the port's network is not the devices'. On
// another port, a copy on this one would share that port's route to the
// devices' network, unless a running server claims that port: then it is
// that server's address, whoever put it there.
Found FindOthersServerAddr(L2_AddrMark mark, const AddrEntry& wanted, const char* addr,
                           const char* description) {
  AddrNetlink nl;
  std::vector<AddrEntry> entries;
  if (!nl.ok() || !nl.DumpAddrs(&entries)) {
    SetReason("cannot read the address list of the interfaces: %s", nl.lastError().c_str());
    return Found::kInTheWay;
  }
  Found found = Found::kNothing;
  std::unique_ptr<L2_ClaimGuard> guard;  // taken only for another port
  for (const AddrEntry& e : entries) {
    if (e.local != wanted.local || IsServerAddr(e, mark)) continue;
    if (e.ifindex == wanted.ifindex) {
      if (e.prefixLen == wanted.prefixLen) {
        found = Found::kOnThePort;
        continue;
      }
      SetReason("%s/%d is on '%s' already, put there by another program, and the server needs "
                "%s/%d there; remove it or choose another interface",
                addr, e.prefixLen, description, addr, wanted.prefixLen);
      return Found::kInTheWay;
    }
    char other[IF_NAMESIZE] = "";
    if (if_indextoname(static_cast<unsigned>(e.ifindex), other) == nullptr) continue;
    if (!guard) guard = std::make_unique<L2_ClaimGuard>();
    if (guard->ok() && guard->Claimed(other)) continue;
    SetReason("%s/%d is on '%s' already, put there by another program, and a copy on '%s' "
              "would split the route to its network between the two; remove it from '%s' or "
              "serve on '%s'",
              addr, e.prefixLen, other, description, other, other);
    return Found::kInTheWay;
  }
  return found;
}

}  // namespace

int L2_SetIfAddrMarked(L2_AddrMark mark, const char* description, const char* addr,
                       const char* mask) {
  tFound = false;
  AddrEntry entry;
  uint32_t broadcast = 0;
  if (!ServerEntry(mark, description, addr, mask, &entry, &broadcast)) return 1;
  // Looked at before the clean-up, so that a refused Start removes nothing.
  const Found found = FindOthersServerAddr(mark, entry, addr, description);
  if (found == Found::kInTheWay) return 1;
  if (ClearMarked(mark, entry.ifindex) != 0) return 1;
  if (found == Found::kOnThePort) {
    tReason[0] = '\0';
    tFound = true;
    return 0;
  }
  const std::string leftover = tReason;
  return AddServerEntry(entry, broadcast, addr, description, leftover) ? 0 : 1;
}

int L2_KeepIfAddrMarked(L2_AddrMark mark, const char* description, const char* addr,
                        const char* mask) {
  AddrEntry entry;
  uint32_t broadcast = 0;
  if (!ServerEntry(mark, description, addr, mask, &entry, &broadcast)) return -1;
  AddrNetlink nl;
  std::vector<AddrEntry> entries;
  if (!nl.ok() || !nl.DumpAddrs(&entries)) {
    SetReason("cannot read the address list of the interfaces: %s", nl.lastError().c_str());
    return -1;
  }
  // Ours or another program's: the run's devices reach the same address.
  for (const AddrEntry& e : entries) {
    if (SameEntry(e, entry)) return 0;
  }
  return AddServerEntry(entry, broadcast, addr, description, {}) ? 1 : -1;
}

int L2_SetIfAddr(const char* description, const char* addr, const char* mask) {
  return L2_SetIfAddrMarked(RunningKernelMark(), description, addr, mask);
}

int L2_CheckIfAddr(const char* description, const char* addr, const char* mask) {
  AddrEntry entry;
  uint32_t broadcast = 0;
  if (!ServerEntry(RunningKernelMark(), description, addr, mask, &entry, &broadcast)) return 1;
  return FindOthersServerAddr(RunningKernelMark(), entry, addr, description) ==
                 Found::kInTheWay
             ? 1
             : 0;
}

int L2_ClearIfAddrs() { return L2_ClearIfAddrsMarked(RunningKernelMark()); }

int L2_KeepIfAddr(const char* description, const char* addr, const char* mask) {
  return L2_KeepIfAddrMarked(RunningKernelMark(), description, addr, mask);
}

const char* L2_LastIfAddrError() { return tReason; }

bool L2_IfAddrFound() { return tFound; }

int L2_TakeIfUp(const char* name) {
  tReason[0] = '\0';
  const unsigned ifindex = name != nullptr ? if_nametoindex(name) : 0;
  if (ifindex == 0) {
    SetReason("no network interface of this machine is named '%s'", name ? name : "");
    return -1;
  }
  AddrNetlink nl;
  bool wasUp = true;
  if (!nl.ok() || !nl.SetLinkUp(static_cast<int>(ifindex), &wasUp)) {
    if (nl.lastErrno() == EPERM) {
      SetPermissionReason("taking an interface up");
    } else {
      SetReason("%s", nl.lastError().c_str());
    }
    return -1;
  }
  return wasUp ? 0 : 1;
}
