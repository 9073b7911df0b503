// rtnetlink address requests: see addr_netlink.h.
#include "link/addr_netlink.h"

#include <linux/if_addr.h>
#include <net/if.h>
#include <linux/ip.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netlink/attr.h>
#include <netlink/errno.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/link/inet.h>
#include <netlink/socket.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#ifndef SOL_NETLINK
#define SOL_NETLINK 270
#endif

namespace {

struct AddrPut {
  void operator()(rtnl_addr* a) const { rtnl_addr_put(a); }
};
struct NlAddrPut {
  void operator()(nl_addr* a) const { nl_addr_put(a); }
};
struct LinkPut {
  void operator()(rtnl_link* l) const { rtnl_link_put(l); }
};
using AddrPtr = std::unique_ptr<rtnl_addr, AddrPut>;
using NlAddrPtr = std::unique_ptr<nl_addr, NlAddrPut>;
using LinkPtr = std::unique_ptr<rtnl_link, LinkPut>;

// libnl 3.7 has no setter for the address protocol and its address object
// drops the attribute, so requests are built by libnl and the protocol is
// appended here, and dumps are parsed here.
int OnAddrMessage(nl_msg* msg, void* arg) {
  auto* out = static_cast<std::vector<AddrEntry>*>(arg);
  nlmsghdr* h = nlmsg_hdr(msg);
  if (h->nlmsg_type != RTM_NEWADDR) return NL_OK;
  if (!nlmsg_valid_hdr(h, sizeof(ifaddrmsg))) return NL_OK;
  auto* ifa = static_cast<ifaddrmsg*>(nlmsg_data(h));
  if (ifa->ifa_family != AF_INET) return NL_OK;
  nlattr* tb[IFA_MAX + 1] = {};
  if (nlmsg_parse(h, sizeof(ifaddrmsg), tb, IFA_MAX, nullptr) < 0) return NL_OK;

  AddrEntry e;
  e.ifindex = static_cast<int>(ifa->ifa_index);
  e.prefixLen = ifa->ifa_prefixlen;
  e.flags = ifa->ifa_flags;
  nlattr* local = tb[IFA_LOCAL] ? tb[IFA_LOCAL] : tb[IFA_ADDRESS];
  if (local == nullptr || nla_len(local) != 4) return NL_OK;
  std::memcpy(&e.local, nla_data(local), 4);
  if (tb[IFA_FLAGS] && nla_len(tb[IFA_FLAGS]) >= 4) e.flags = nla_get_u32(tb[IFA_FLAGS]);
  if (tb[IFA_PROTO] && nla_len(tb[IFA_PROTO]) >= 1) e.protocol = nla_get_u8(tb[IFA_PROTO]);
  if (tb[IFA_LABEL]) nla_strlcpy(e.label, tb[IFA_LABEL], sizeof e.label);
  out->push_back(e);
  return NL_OK;
}

// Builds the libnl address object that names `entry` to the kernel.
AddrPtr MakeAddr(const AddrEntry& entry, uint32_t broadcast) {
  AddrPtr a(rtnl_addr_alloc());
  if (!a) return a;
  rtnl_addr_set_family(a.get(), AF_INET);
  rtnl_addr_set_ifindex(a.get(), entry.ifindex);
  NlAddrPtr local(nl_addr_build(AF_INET, &entry.local, 4));
  if (!local) return nullptr;
  nl_addr_set_prefixlen(local.get(), entry.prefixLen);
  rtnl_addr_set_local(a.get(), local.get());
  rtnl_addr_set_prefixlen(a.get(), entry.prefixLen);
  if (broadcast != 0) {
    NlAddrPtr brd(nl_addr_build(AF_INET, &broadcast, 4));
    if (!brd) return nullptr;
    rtnl_addr_set_broadcast(a.get(), brd.get());
  }
  if (entry.label[0] != '\0' && rtnl_addr_set_label(a.get(), entry.label) < 0)
    return nullptr;
  return a;
}

}  // namespace

AddrNetlink::AddrNetlink() {
  nl_sock* s = nl_socket_alloc();
  if (s == nullptr) {
    lastError_ = "out of memory for a netlink socket";
    return;
  }
  int rc = nl_connect(s, NETLINK_ROUTE);
  if (rc < 0) {
    lastError_ = std::string("cannot open a route netlink socket: ") + nl_geterror(rc);
    nl_socket_free(s);
    return;
  }
  // Ask the kernel for its reason in words, without echoing our request.
  int one = 1;
  setsockopt(nl_socket_get_fd(s), SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
  setsockopt(nl_socket_get_fd(s), SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
  nl_socket_modify_err_cb(s, NL_CB_CUSTOM, &AddrNetlink::OnError, this);
  sock_ = s;
}

AddrNetlink::~AddrNetlink() {
  if (sock_ != nullptr) nl_socket_free(sock_);
}

int AddrNetlink::OnError(sockaddr_nl*, nlmsgerr* error, void* self) {
  auto* me = static_cast<AddrNetlink*>(self);
  me->lastErrno_ = -error->error;
  me->kernelText_.clear();
  // The error sits right behind its netlink header; the extended-ack
  // attributes follow it (and the echoed request, unless capped).
  auto* h = reinterpret_cast<const nlmsghdr*>(reinterpret_cast<const char*>(error) -
                                              NLMSG_HDRLEN);
  if ((h->nlmsg_flags & NLM_F_ACK_TLVS) == 0) return NL_STOP;
  size_t offset = NLMSG_HDRLEN + sizeof(nlmsgerr);
  if ((h->nlmsg_flags & NLM_F_CAPPED) == 0) offset += error->msg.nlmsg_len - NLMSG_HDRLEN;
  if (offset >= h->nlmsg_len) return NL_STOP;
  auto* attrs = reinterpret_cast<nlattr*>(const_cast<char*>(reinterpret_cast<const char*>(h)) +
                                          offset);
  int len = static_cast<int>(h->nlmsg_len - offset);
  nlattr* a;
  int rem;
  nla_for_each_attr(a, attrs, len, rem) {
    if (nla_type(a) == NLMSGERR_ATTR_MSG && nla_len(a) > 0) {
      me->kernelText_.assign(static_cast<const char*>(nla_data(a)),
                             strnlen(static_cast<const char*>(nla_data(a)),
                                     static_cast<size_t>(nla_len(a))));
    }
  }
  return NL_STOP;
}

bool AddrNetlink::Fail(int nlError, const char* what) {
  lastError_ = std::string(what) + ": " + nl_geterror(nlError);
  if (!kernelText_.empty()) lastError_ += " (" + kernelText_ + ")";
  return false;
}

bool AddrNetlink::DumpAddrs(std::vector<AddrEntry>* out) {
  out->clear();
  lastErrno_ = 0;
  kernelText_.clear();
  if (!ok()) return false;
  ifaddrmsg request = {};
  request.ifa_family = AF_INET;
  int rc = nl_send_simple(sock_, RTM_GETADDR, NLM_F_DUMP, &request, sizeof request);
  if (rc < 0) return Fail(rc, "cannot ask for the address list");
  nl_socket_modify_cb(sock_, NL_CB_VALID, NL_CB_CUSTOM, OnAddrMessage, out);
  rc = nl_recvmsgs_default(sock_);
  nl_socket_modify_cb(sock_, NL_CB_VALID, NL_CB_DEFAULT, nullptr, nullptr);
  if (rc < 0) return Fail(rc, "cannot read the address list");
  return true;
}

bool AddrNetlink::AddAddr(const AddrEntry& entry, uint32_t broadcast) {
  lastErrno_ = 0;
  kernelText_.clear();
  if (!ok()) return false;
  AddrPtr a = MakeAddr(entry, broadcast);
  if (!a) return Fail(-NLE_NOMEM, "cannot build the address request");
  nl_msg* msg = nullptr;
  int rc = rtnl_addr_build_add_request(a.get(), NLM_F_CREATE | NLM_F_EXCL, &msg);
  if (rc < 0) return Fail(rc, "cannot build the address request");
  if (entry.protocol != 0 && nla_put_u8(msg, IFA_PROTO, entry.protocol) < 0) {
    nlmsg_free(msg);
    return Fail(-NLE_NOMEM, "cannot build the address request");
  }
  rc = nl_send_sync(sock_, msg);  // frees msg
  if (rc < 0) return Fail(rc, "the system refused the address");
  return true;
}

bool AddrNetlink::DeleteAddr(const AddrEntry& entry) {
  lastErrno_ = 0;
  kernelText_.clear();
  if (!ok()) return false;
  AddrPtr a = MakeAddr(entry, 0);
  if (!a) return Fail(-NLE_NOMEM, "cannot build the delete request");
  nl_msg* msg = nullptr;
  int rc = rtnl_addr_build_delete_request(a.get(), 0, &msg);
  if (rc < 0) return Fail(rc, "cannot build the delete request");
  rc = nl_send_sync(sock_, msg);
  if (rc < 0) return Fail(rc, "the system refused to delete the address");
  return true;
}

bool AddrNetlink::GetPromoteSecondaries(int ifindex, uint32_t* value) {
  lastErrno_ = 0;
  kernelText_.clear();
  if (!ok()) return false;
  rtnl_link* raw = nullptr;
  int rc = rtnl_link_get_kernel(sock_, ifindex, nullptr, &raw);
  if (rc < 0) return Fail(rc, "cannot read the interface settings");
  LinkPtr link(raw);
  rc = rtnl_link_inet_get_conf(link.get(), IPV4_DEVCONF_PROMOTE_SECONDARIES, value);
  if (rc < 0) return Fail(rc, "cannot read promote_secondaries");
  return true;
}

bool AddrNetlink::SetPromoteSecondaries(int ifindex, uint32_t value) {
  lastErrno_ = 0;
  kernelText_.clear();
  if (!ok()) return false;
  LinkPtr orig(rtnl_link_alloc());
  LinkPtr change(rtnl_link_alloc());
  if (!orig || !change) return Fail(-NLE_NOMEM, "cannot build the settings request");
  rtnl_link_set_ifindex(orig.get(), ifindex);
  int rc = rtnl_link_inet_set_conf(change.get(), IPV4_DEVCONF_PROMOTE_SECONDARIES, value);
  if (rc < 0) return Fail(rc, "cannot build the settings request");
  rc = rtnl_link_change(sock_, orig.get(), change.get(), 0);
  if (rc < 0) return Fail(rc, "cannot change promote_secondaries");
  return true;
}

bool AddrNetlink::SetLinkUp(int ifindex, bool* wasUp) {
  lastErrno_ = 0;
  kernelText_.clear();
  if (!ok()) return false;
  rtnl_link* raw = nullptr;
  int rc = rtnl_link_get_kernel(sock_, ifindex, nullptr, &raw);
  if (rc < 0) return Fail(rc, "cannot read the interface");
  LinkPtr orig(raw);
  *wasUp = (rtnl_link_get_flags(orig.get()) & IFF_UP) != 0;
  if (*wasUp) return true;
  LinkPtr change(rtnl_link_alloc());
  if (!change) return Fail(-NLE_NOMEM, "cannot build the link request");
  rtnl_link_set_flags(change.get(), IFF_UP);
  rc = rtnl_link_change(sock_, orig.get(), change.get(), 0);
  if (rc < 0) return Fail(rc, "the system refused to take the interface up");
  return true;
}
