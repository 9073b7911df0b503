// The capture devices offered to the operator: those of libpcap's list that
// are Ethernet interfaces of this machine.
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "report/debug_print.h"
#include "link/if_list.h"

namespace {

constexpr int kEntrySize = 128;

// The system's link table. A capture device belongs in the list only when
// a link of the same name carries Ethernet frames (ARPHRD_ETHER) and has a
// 6-byte hardware address. libpcap's pseudo-devices (any, nflog, nfqueue,
// dbus-*, bluetooth*, usbmon*) are no links at all, the loopback is
// ARPHRD_LOOPBACK, and an address label "eth0:x" listed as a device is a
// label, not a link: none of them passes.
class EthernetLinks {
 public:
  EthernetLinks() = default;
  ~EthernetLinks() {
    if (cache_ != nullptr) nl_cache_free(cache_);
    if (sock_ != nullptr) nl_socket_free(sock_);
  }
  EthernetLinks(const EthernetLinks&) = delete;
  EthernetLinks& operator=(const EthernetLinks&) = delete;

  /// Reads the table; on failure `why` says what went wrong.
  bool Load(const char** why) {
    sock_ = nl_socket_alloc();
    if (sock_ == nullptr) {
      *why = "out of memory for a netlink socket";
      return false;
    }
    int rc = nl_connect(sock_, NETLINK_ROUTE);
    if (rc >= 0) rc = rtnl_link_alloc_cache(sock_, AF_UNSPEC, &cache_);
    if (rc < 0) {
      *why = nl_geterror(rc);
      return false;
    }
    return true;
  }

  bool IsEthernet(const char* name) const {
    rtnl_link* link = rtnl_link_get_by_name(cache_, name);
    if (link == nullptr) return false;
    nl_addr* hw = rtnl_link_get_addr(link);
    bool ethernet = rtnl_link_get_arptype(link) == ARPHRD_ETHER && hw != nullptr &&
                    nl_addr_get_len(hw) == 6;
    rtnl_link_put(link);
    return ethernet;
  }

 private:
  nl_sock* sock_ = nullptr;
  nl_cache* cache_ = nullptr;
};

void CopyCut(char* target, const char* text) {
  size_t n = strnlen(text, kEntrySize - 1);
  std::memcpy(target, text, n);
  target[n] = '\0';
}

}  // namespace

int L2_IfDescr(char* target, const char* description, int size) {
  if (target == nullptr || size <= 0) return 0;
  target[0] = '\0';
  if (description == nullptr) return 0;
  const char* first = std::strchr(description, '\'');
  const char* last = std::strrchr(description, '\'');
  if (first == nullptr || first == last) return 0;
  size_t n = static_cast<size_t>(last - first - 1);
  if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
  std::memcpy(target, first + 1, n);
  target[n] = '\0';
  return 0;
}

int L2_ListIf(L2_IfList* list) {
  list->count = 0;
  char errorText[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* devices = nullptr;
  if (pcap_findalldevs(&devices, errorText) == -1) {
    ErrorBox("Error in pcap_findalldevs_ex: %s\n", errorText);
    return -1;
  }
  std::unique_ptr<pcap_if_t, void (*)(pcap_if_t*)> release(devices, pcap_freealldevs);

  EthernetLinks links;
  const char* why = "";
  if (!links.Load(&why)) {
    ErrorBox("Error in pcap_findalldevs_ex: %s\n", why);
    return -1;
  }

  for (pcap_if_t* d = devices; d != nullptr && list->count < kMaxIfs; d = d->next) {
    if (d->name == nullptr || !links.IsEthernet(d->name)) continue;
    int i = list->count++;
    CopyCut(list->name[i], d->name);
    // A device listed under an empty or unquoted description could never
    // be matched to its link again, so such devices go by their name.
    list->description[i][0] = '\0';
    if (d->description != nullptr)
      L2_IfDescr(list->description[i], d->description, kEntrySize);
    if (list->description[i][0] == '\0') CopyCut(list->description[i], list->name[i]);
  }
  return 0;
}

unsigned L2_IfFlags(const char* name) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
  const int rc = ioctl(fd, SIOCGIFFLAGS, &request);
  close(fd);
  return rc == 0 ? static_cast<unsigned>(request.ifr_flags) : 0;
}

bool L2_IfHasLink(const char* name) {
  const unsigned flags = L2_IfFlags(name);
  return flags == 0 || ((flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0);
}
