// A transfer's replies from its own UDP socket, or from the capture when
// they do not arrive there.
#include "transfer/reply_input.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "link/l2_if.h"
#include "protocol/client_thread.h"

namespace {

// An ACK is 4 bytes; an ERROR's text is cut at one line anyway.
constexpr size_t kReplyMax = 1500;
// Lock-step leaves one reply waiting at most; a device's repeats and
// strangers' datagrams are bounded per wake-up all the same.
constexpr int kReadsPerWake = 8;

// The socket only holds the port then: every datagram to it is dropped by
// the system at once instead of being kept for nobody.
void KeepNothing(int sock) {
  const int smallest = 1;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
}

void TakeCapture(CClientThread& client) {
  client.repliesFromSocket.store(false, std::memory_order_relaxed);
  if (!client.holdsCapture) {
    L2_HoldIpv4Capture(client.link);
    client.holdsCapture = true;
  }
}

// One datagram, if any; `*fromDevice` says whether the device sent it.
bool ReadDatagram(const CClientThread& client, uint8_t* buf, int* len,
                  uint16_t* srcPortNet, bool* fromDevice) {
  for (;;) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(client.sock, buf, kReplyMax, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    *len = static_cast<int>(n);
    *srcPortNet = from.sin_port;
    // The reserved port is the transfer's; from anyone but its device a
    // datagram is none of its business (the capture would have handed it
    // to that sender's client).
    *fromDevice = from.sin_family == AF_INET && from.sin_addr.s_addr == client.ipAddr;
    return true;
  }
}

}  // namespace

bool TFTPFenceReplySocket(int sock, const L2_If* link) {
  // A socket bound to any address takes a datagram to the port on every
  // network of the machine, and the source address that then vouches for
  // the device is anyone's to write: a host of another network (loose
  // reverse-path filtering lets 10.0.0.x in there) would be taken for the
  // device. Fenced to the link and bound to 10.0.0.1, the socket gets what
  // arrived on the link and was addressed to the server; the rest finds no
  // socket and is dropped by the system, at no cost to a block. The port
  // stays reserved all the same: the system refuses it to any socket that
  // could receive what the device sends there, that is one bound to any
  // address or to 10.0.0.1, unless it is fenced to another link.
  // Refused before Linux 5.0, and before 5.7 without CAP_NET_RAW.
  if (link->ifIndex == 0) return false;  // no link of the system's
  const int index = static_cast<int>(link->ifIndex);
  const int on = 1;
  return setsockopt(sock, SOL_SOCKET, SO_BINDTOIFINDEX, &index, sizeof index) == 0 &&
         setsockopt(sock, IPPROTO_IP, IP_FREEBIND, &on, sizeof on) == 0;
}

void TFTPChooseReplyInput(CClientThread& client, bool fenced) {
  client.checkingSocket = false;
  if (fenced && L2_SocketInput(client.link) && !client.socketUnreached) {
    client.repliesFromSocket.store(true, std::memory_order_relaxed);
    return;
  }
  KeepNothing(client.sock);
  TakeCapture(client);
}

void TFTPEndReplyInput(CClientThread& client) {
  client.repliesFromSocket.store(false, std::memory_order_relaxed);
  client.checkingSocket = false;
  if (client.holdsCapture) {
    L2_ReleaseIpv4Capture(client.link);
    client.holdsCapture = false;
  }
  if (client.sock != -1) {
    close(client.sock);
    client.sock = -1;
  }
}

namespace {

void ReadReplies(CClientThread& client, bool firstOnly) {
  uint8_t buf[kReplyMax];
  for (int i = 0; i < kReadsPerWake && client.sock != -1 &&
                  client.repliesFromSocket.load(std::memory_order_relaxed);
       ++i) {
    int len = 0;
    uint16_t srcPortNet = 0;
    bool fromDevice = false;
    if (!ReadDatagram(client, buf, &len, &srcPortNet, &fromDevice)) return;
    if (!fromDevice) continue;
    client.TFTPRxReply(buf, len, srcPortNet);
    if (firstOnly) return;
  }
}

}  // namespace

void TFTPReadSocketReply(CClientThread& client) { ReadReplies(client, true); }

void TFTPReadSocketReplies(CClientThread& client) { ReadReplies(client, false); }

void TFTPTakeRepliesFromCapture(CClientThread& client) {
  if (!client.repliesFromSocket.load(std::memory_order_relaxed)) return;
  TakeCapture(client);
  client.checkingSocket = true;
}

void TFTPNoteCapturedReply(CClientThread& client) {
  if (!client.checkingSocket || client.sock == -1) return;
  client.checkingSocket = false;
  // The system puts a frame into the capture and into the socket in one
  // pass, before the server thread is even woken: by now the socket holds
  // its copy, or it never will.
  uint8_t buf[kReplyMax];
  bool reached = false;
  int len = 0;
  uint16_t srcPortNet = 0;
  bool fromDevice = false;
  for (int i = 0; i < kReadsPerWake &&
                  ReadDatagram(client, buf, &len, &srcPortNet, &fromDevice);
       ++i)
    reached = reached || fromDevice;
  if (reached) {
    client.repliesFromSocket.store(true, std::memory_order_relaxed);
    L2_ReleaseIpv4Capture(client.link);
    client.holdsCapture = false;
    return;
  }
  client.socketUnreached = true;
  KeepNothing(client.sock);
}
