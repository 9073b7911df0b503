// The office LAN beside the bench segment: see netns_lan.h.
#include "netns/netns_lan.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Address(const std::string& addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
  return a;
}

}  // namespace

NetnsLan::NetnsLan(const NetnsPair& pair) : serverNs_(pair.serverNs()) {
  if (!pair.ok()) return;
  ns_ = pair.serverNs() + "-lan";  // swept with the pair's when left behind
  const std::string tag = pair.serverIf().substr(2);
  const std::string serverEnd = "vl" + tag, lanEnd = "vm" + tag;
  const std::string script =
      "set -e; ip netns add " + ns_ + "; ip link add " + serverEnd + " netns " + serverNs_ +
      " type veth peer name " + lanEnd + " netns " + ns_ + ";"
      " ip netns exec " + ns_ + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1"
      " net.ipv6.conf.default.disable_ipv6=1; ip -n " + ns_ + " link set lo up;"
      " ip netns exec " + serverNs_ + " sysctl -qw net.ipv4.conf.all.rp_filter=0"
      " net.ipv4.conf." + serverEnd + ".rp_filter=0;"
      " ip -n " + serverNs_ + " addr add " + kServerAddr + "/24 dev " + serverEnd + ";"
      " ip -n " + serverNs_ + " link set " + serverEnd + " up;"
      " ip -n " + ns_ + " addr add 192.168.77.2/24 dev " + lanEnd + ";"
      " ip -n " + ns_ + " link set " + lanEnd + " up";
  ok_ = Shell("(" + script + ") >/dev/null 2>&1") == 0;
}

NetnsLan::~NetnsLan() {
  if (!ns_.empty()) Shell("ip netns del " + ns_ + " 2>/dev/null");
}

bool NetnsLan::Send(const std::string& srcAddr, uint16_t srcPort, const std::string& dstAddr,
                    uint16_t dstPort, const void* bytes, size_t len) {
  if (srcAddr != source_) {
    if (Shell("ip -n " + ns_ + " addr replace " + srcAddr + "/32 dev lo") != 0) return false;
    source_ = srcAddr;
  }
  InNetns in(ns_);
  if (!in.ok()) return false;
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  const int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in from = Address(srcAddr, srcPort), to = Address(dstAddr, dstPort);
  const bool sent =
      bind(sock, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
      sendto(sock, bytes, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
          static_cast<ssize_t>(len);
  close(sock);
  return sent;
}

bool NetnsLan::ReachesServer(const std::string& srcAddr, int ms) {
  int sock = -1;
  sockaddr_in at = Address(kServerAddr, 0);
  {
    InNetns in(serverNs_);
    if (!in.ok()) return false;
    sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  socklen_t len = sizeof at;
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  char probe = 'p';
  pollfd p{sock, POLLIN, 0};
  const bool reached =
      sock >= 0 && bind(sock, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
      getsockname(sock, reinterpret_cast<sockaddr*>(&at), &len) == 0 &&
      Send(srcAddr, 0, kServerAddr, ntohs(at.sin_port), &probe, 1) && poll(&p, 1, ms) == 1 &&
      recvfrom(sock, &probe, 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen) == 1 &&
      from.sin_addr.s_addr == Address(srcAddr, 0).sin_addr.s_addr;
  if (sock >= 0) close(sock);
  return reached;
}
