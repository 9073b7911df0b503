// L2_GetIfIndex: the system link that belongs to a capture device, found in
// the kernel's link table (on Linux a link's description is its name).
#include <netlink/cache.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "link/l2_if.h"

namespace {

// The prefix walk shortens the compared part by this much per pass while
// at least kShortestPrefix characters are left.
constexpr int kPrefixStep = 3;
constexpr int kShortestPrefix = 5;

rtnl_link* FirstLink(nl_cache* cache) {
  return reinterpret_cast<rtnl_link*>(nl_cache_get_first(cache));
}

rtnl_link* NextLink(rtnl_link* link) {
  return reinterpret_cast<rtnl_link*>(
      nl_cache_get_next(reinterpret_cast<nl_object*>(link)));
}

rtnl_link* ExactName(nl_cache* cache, const char* description) {
  for (rtnl_link* link = FirstLink(cache); link; link = NextLink(link)) {
    const char* name = rtnl_link_get_name(link);
    if (name && std::strcmp(name, description) == 0) return link;
  }
  return nullptr;
}

// The walk made for adapter descriptions that a system may lengthen or vary
// near their end: the first link, in table order, whose name starts with the
// first n characters of the description (case ignored), n shrinking.
rtnl_link* PrefixWalk(nl_cache* cache, const char* description) {
  for (int n = static_cast<int>(std::strlen(description));;) {
    for (rtnl_link* link = FirstLink(cache); link; link = NextLink(link)) {
      const char* name = rtnl_link_get_name(link);
      if (name && strncasecmp(description, name, static_cast<size_t>(n)) == 0)
        return link;
    }
    n -= kPrefixStep;
    if (n < kShortestPrefix) return nullptr;
  }
}

}  // namespace

uint32_t L2_GetIfIndex(const char* description, L2_If* iface) {
  // An empty description would match the first link of the table (the
  // loopback) on a zero-length compare.
  if (description == nullptr || description[0] == '\0') return 0;

  // One netlink socket per call: libnl sockets must not be shared between
  // threads, and this runs from the GUI thread and at Start.
  nl_sock* sock = nl_socket_alloc();
  if (sock == nullptr) return 0;
  nl_cache* cache = nullptr;
  uint32_t index = 0;
  if (nl_connect(sock, NETLINK_ROUTE) == 0 &&
      rtnl_link_alloc_cache(sock, AF_UNSPEC, &cache) == 0) {
    // Names on Linux are prefixes of one another (veth1, veth10), so a link
    // named exactly as the device wins before any prefix is tried.
    rtnl_link* link = ExactName(cache, description);
    if (link == nullptr) link = PrefixWalk(cache, description);
    if (link != nullptr) {
      index = static_cast<uint32_t>(rtnl_link_get_ifindex(link));
      if (iface != nullptr) {
        std::memset(iface->mac, 0, sizeof iface->mac);
        nl_addr* addr = rtnl_link_get_addr(link);
        if (addr != nullptr) {
          const size_t n = std::min<size_t>(nl_addr_get_len(addr), 6);
          std::memcpy(iface->mac, nl_addr_get_binary_addr(addr), n);
        }
      }
    }
    nl_cache_free(cache);
  }
  nl_socket_free(sock);
  return index;
}
