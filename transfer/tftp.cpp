// The TFTP write transfer: the server is the TFTP client and pushes one image
// lock-step, one 512-byte block per ACK, in frames it builds itself.
#include "transfer/tftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "link/l2_if.h"
#include "link/pkt_buf.h"
#include "protocol/client_thread.h"
#include "report/device_text.h"
#include "transfer/ipv4_udp.h"
#include "transfer/reply_input.h"
#include "transfer/upload_images.h"

#define MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

constexpr int kTftpFrameSize = 640;
constexpr uint16_t kTftpServerPort = 69;
constexpr int kWrqMax = 24;
// The words of the "RX TFTP Error" line around the device's text, with
// room to spare: the MAC, the code (five digits at most) and the line
// that follows.
constexpr size_t kErrorLineWords = 96;

uint16_t GetBe16(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

// Every packet takes the current identification; 0 is skipped on the wrap.
uint16_t TakeIpId(CClientThread& client) {
  const uint16_t id = client.ipId;
  client.ipId = static_cast<uint16_t>(id == 0xFFFF ? 1 : id + 1);
  return id;
}

uint32_t MsClock() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
          .count());
}

int SendData(CClientThread& client) {
  const uint8_t header[4] = {0, TFTP_DATA,
                             static_cast<uint8_t>(client.blockNo >> 8),
                             static_cast<uint8_t>(client.blockNo)};
  return TFTPSendPkt(client, client.peerPort, header, sizeof header,
                     client.dataPtr, client.dataLen);
}

int SendWrq(CClientThread& client) {
  uint8_t wrq[kWrqMax];
  const int n = TFTPBuildWRQ(client, wrq);
  return TFTPSendPkt(client, client.peerPort, wrq, n, nullptr, 0);
}

}  // namespace

int TFTPStartUpload(CClientThread& client) {
  TFTPEndReplyInput(client);
  // A transfer is woken by every reply of its device. Woken as a batch
  // thread it does not preempt what runs (another transfer, or on a bench
  // the device's own TFTP server), so that many transfers share a few cores
  // in turn instead of taking the core from each other at every block.
  // Needs no privilege; where a filter forbids the call, the thread simply
  // runs as it was made.
  sched_param none{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);

  // The socket holds the port, so that the kernel neither answers the
  // device's ACKs with ICMP port unreachable nor gives the port to anyone
  // else, and it is where the replies are read (see reply_input.h).
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (sock < 0) {
    DebugPrint(client.Log(),
               "[Error] Fail to create socket for the TFTP client (%d)\r\n",
               errno);
    return 4;
  }
  const bool fenced = TFTPFenceReplySocket(sock, client.link);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(fenced ? kServerAddr : INADDR_ANY);
  addr.sin_port = 0;
  socklen_t addrLen = sizeof addr;
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &addrLen) != 0) {
    DebugPrint(client.Log(),
               "[Error] Fail to bind socket for the TFTP client (%d)\r\n",
               errno);
    close(sock);
    return 4;
  }
  client.sock = sock;
  client.localPort = addr.sin_port;
  TFTPChooseReplyInput(client, fenced);

  client.peerPort = htons(kTftpServerPort);
  client.ipId = static_cast<uint16_t>(1000 + MsClock() % 1000);
  client.retryCount = 0;
  client.blockNo = 0;
  client.dataPtr = nullptr;
  client.dataLen = 0;

  DebugPrint(client.Log(), "[%02x-%02x-%02x-%02x-%02x-%02x] TX TFTP WRQ\r\n",
             MAC_ARGS(client.mac));
  return SendWrq(client);
}

int TFTPSendPkt(CClientThread& client, uint16_t dstPortNet,
                const uint8_t* header, int headerLen, const uint8_t* data,
                int dataLen) {
  uint8_t storage[kTftpFrameSize];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);

  // The headers are written last, at buf.data: a put that runs out of tail
  // room moves what was built, so earlier positions would not hold.
  const uint16_t ipId = TakeIpId(client);
  uint8_t* at = PktBufPut(buf, kIpv4HeaderLen + kUdpHeaderLen + headerLen);
  if (!at) {
    DebugPrint(client.Log(),
               "[Error] TFTPSendPkt(), no buf, data length: %d\r\n", headerLen);
    return 2;
  }
  std::memcpy(at + kIpv4HeaderLen + kUdpHeaderLen, header,
              static_cast<size_t>(headerLen));
  if (data && dataLen > 0) {
    at = PktBufPut(buf, dataLen);
    if (!at) {
      DebugPrint(client.Log(),
                 "[Error] TFTPSendPkt(), no buf, data length: %d\r\n", dataLen);
      return 2;
    }
    std::memcpy(at, data, static_cast<size_t>(dataLen));
  }
  WriteIpv4UdpHeaders(buf.data, ipId, client.ipAddr, client.localPort,
                      dstPortNet, buf.len - kIpv4HeaderLen - kUdpHeaderLen);

  const int rc =
      L2_TxPkt(client.link, client.mac, kEtherTypeIpv4, buf, client.Log());
  if (rc != 0) {
    DebugPrint(client.Log(),
               "[Error] L2_TxPkt() fails in TFTPSendPkt() (%d)\r\n", rc);
    return 3;
  }
  return 0;
}

int32_t TFTPRxPkt(CClientThread& client, const uint8_t* pkt, int len,
                  uint16_t srcPortNet, uint32_t* timerMs) {
  *timerMs = 0;
  int32_t state = client.State();
  if (len < 4) return state;  // neither an ACK nor an ERROR header fits

  const uint16_t opcode = GetBe16(pkt);
  if (opcode == TFTP_ACK) {
    // Only the ACK of the block in flight counts; duplicates and stale
    // ACKs neither advance the transfer nor restart the timer. After block
    // 65535 the 16-bit number on the wire can no longer match blockNo, so
    // such a transfer ends by timeout.
    if (GetBe16(pkt + 2) != client.blockNo) return state;
    if (client.blockNo > 0) {
      client.live->Acked(static_cast<uint32_t>(client.blockNo),
                         static_cast<uint32_t>(client.dataLen));
    }

    if (state == TftpLastBlock) {
      DebugPrint(client.Log(),
                 "[%02x-%02x-%02x-%02x-%02x-%02x] TFTP uploading done (file "
                 "%d, explicitly acked), go to 'Active' state\r\n",
                 MAC_ARGS(client.mac), client.fileIndex);
      TFTPUploadDone(client);
      *timerMs = kActiveTimerMs;
      return Active;
    }
    if (state == TftpUploading) {
      client.peerPort = srcPortNet;  // fixed for the rest of the transfer
      state = TftpSending;
    }

    const int64_t imageLen = client.images->len[client.fileIndex];
    const int64_t remaining =
        imageLen - static_cast<int64_t>(client.blockNo) * kTftpBlockSize;
    client.blockNo += 1;
    client.dataPtr = client.images->buf[client.fileIndex] +
                     static_cast<int64_t>(client.blockNo - 1) * kTftpBlockSize;
    if (remaining < kTftpBlockSize) {
      // Also for 0: an image whose length is a multiple of 512 ends with an
      // empty block, which tells the device that the file is complete.
      client.dataLen = static_cast<int32_t>(remaining);
      state = TftpLastBlock;
    } else {
      client.dataLen = kTftpBlockSize;
    }
    client.retryCount = 0;
    SendData(client);
    *timerMs = kTftpTimerMs;
    return state;
  }

  if (opcode == TFTP_ERROR) {
    // The text ends at its zero byte or, when the device left it out, at the
    // end of the packet: nothing past the packet is read.
    // Its control characters are escaped: a CR LF of the device's would
    // start a line of its own making in the Debug Window. Cut (with its
    // mark) to what the line has room for beside its own words, so that
    // the line's cut never falls inside a character.
    char text[kDebugTextSize - kErrorLineWords];
    EscapeDeviceText(text, sizeof text, reinterpret_cast<const char*>(pkt + 4),
                     static_cast<size_t>(len - 4));
    DebugPrintNoted(client.Log(), LineNote::kTrouble,
               "[%02x-%02x-%02x-%02x-%02x-%02x] RX TFTP Error (%d): %s\r\n "
               "Uploading aborts, go to 'Active' state\r\n",
               MAC_ARGS(client.mac), GetBe16(pkt + 2), text);
    const char* raw = reinterpret_cast<const char*>(pkt + 4);
    client.live->TransferFailed(FailureCause::kTftpError,
                                static_cast<uint32_t>(client.blockNo), GetBe16(pkt + 2), raw,
                                strnlen(raw, static_cast<size_t>(len - 4)));
    client.SetFlag(tftpFailed);
    *timerMs = kActiveTimerMs;
    return Active;
  }
  return state;
}

void TFTPRetransmit(CClientThread& client) {
  client.live->Resent();
  if (client.State() == TftpUploading) {
    DebugPrint(client.Log(),
               "[%02x-%02x-%02x-%02x-%02x-%02x] TX (re-transmit) TFTP WRQ\r\n",
               MAC_ARGS(client.mac));
    SendWrq(client);
  } else {
    SendData(client);
  }
}

int TFTPSendError(CClientThread& client, uint16_t dstPortNet, uint16_t code,
                  const char* text) {
  DebugPrint(client.Log(),
             "[%02x-%02x-%02x-%02x-%02x-%02x] TX TFTP Error: %s\r\n",
             MAC_ARGS(client.mac), text);
  const uint8_t header[4] = {0, TFTP_ERROR, static_cast<uint8_t>(code >> 8),
                             static_cast<uint8_t>(code)};
  return TFTPSendPkt(client, dstPortNet, header, sizeof header,
                     reinterpret_cast<const uint8_t*>(text),
                     static_cast<int>(std::strlen(text) + 1));
}
