// Address events from rtnetlink: see addr_events.h.
#include "link/addr_events.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

L2_AddrEvents::L2_AddrEvents() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
}

L2_AddrEvents::~L2_AddrEvents() {
  if (fd_ >= 0) close(fd_);
}

bool L2_AddrEvents::Drain(int ifindex) {
  if (fd_ < 0) return true;
  bool removed = false;
  alignas(nlmsghdr) char buf[8192];
  for (;;) {
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // ENOBUFS: the kernel dropped events, any of which may be ours.
      if (errno == ENOBUFS) {
        removed = true;
        continue;
      }
      return removed;
    }
    if (n == 0) return removed;
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type != RTM_DELADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        continue;
      ifaddrmsg ifa;
      std::memcpy(&ifa, NLMSG_DATA(h), sizeof ifa);
      if (static_cast<int>(ifa.ifa_index) == ifindex) removed = true;
    }
  }
}
