// The client's state machine: answers the device's SKAV requests, runs its
// TFTP uploads, watches it with one timer and reports how it ended.
#include <cstring>

#include "link/l2_if.h"
#include "link/pkt_buf.h"
#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "protocol/skav_msg.h"
#include "transfer/ipv4_udp.h"
#include "transfer/reply_input.h"
#include "transfer/tftp.h"
#include "transfer/upload_images.h"

#define MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

constexpr int kReplyFrameSize = 512;
constexpr uint16_t kTftpErrorUnknownTid = 5;

void PutBe16(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* at, uint32_t v) {
  PutBe16(at, v >> 16);
  PutBe16(at + 2, v);
}

}  // namespace

void CClientThread::SKAVDRxMsg(const uint8_t* bytes, size_t len) {
  SKAV_Msg msg;
  const int rc = SKAV_MsgParsing(bytes, len, msg);
  if (rc != 0) {
    DebugPrint(Log(), "[Error] SKAV_MsgParsing() fails (%d)\r\n", rc);
    if (State() == Created) {
      // The frame that created this client was not a message after all.
      DebugPrint(Log(),
                 "[%02x-%02x-%02x-%02x-%02x-%02x] false creation, to be "
                 "removed\r\n",
                 MAC_ARGS(mac));
      SetState(Closed);
      SKAVDExitReport();
    }
    return;
  }

  if (LogSink* log = Log()) {
    char text[kSkavDumpSize];
    SKAV_MsgDump(text, msg, Direction::kRx, mac);
    DebugPrint(log, "%s\r\n", text);
  }

  switch (msg.code) {
    case SKAV_CONF_REQ:
      SKAVDRxConfReq(msg);
      break;
    case SKAV_CLOSE_REQ:
      SKAVDRxCloseReq(msg);
      break;
    case SKAV_KEEP_ALIVE_REQ:
      SKAVDRxKeepAliveReq(msg);
      break;
    case SKAV_TFTP_UL_REQ:
      SKAVDRxTftpUlReq(msg);
      break;
    default:
      break;  // dumped only
  }
}

void CClientThread::SKAVDRxConfReq(const SKAV_Msg&) {
  if (State() != Created && State() != Active) return;
  StopTimer();

  uint8_t storage[kReplyFrameSize];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  int rc = SKAV_MsgInit(buf, SKAV_CONF_ACK, 0);
  if (rc == 0) {
    uint8_t devIp[8];
    std::memcpy(devIp, &ipAddr, 4);  // already in network order
    PutBe32(devIp + 4, kServerMask);
    rc = SKAV_MsgAddOpt(buf, SKAV_OPT_DEV_IP, devIp, sizeof devIp);
  }
  if (rc == 0 && regionCode != 0) {
    uint8_t region[2];
    PutBe16(region, static_cast<uint32_t>(regionCode) & 0xFFFF);
    rc = SKAV_MsgAddOpt(buf, SKAV_OPT_DEV_REGION, region, sizeof region);
  }
  if (rc == 0 && images != nullptr && images->Loaded(0)) {
    rc = SKAV_MsgAddOpt(buf, SKAV_OPT_FW_UP, nullptr, 0);
  }
  if (rc == 0 && stMask != 0) {
    uint8_t mask[4];
    PutBe32(mask, stMask);
    rc = SKAV_MsgAddOpt(buf, SKAV_OPT_ST_UP, mask, sizeof mask);
  }
  if (rc != 0) {
    DebugPrint(Log(), "[Error] Fail to create CONF-ACK (%d)\r\n", rc);
  } else {
    rc = L2_TxPkt(link, mac, kEtherTypeSkav, buf, Log());
    if (rc != 0)
      DebugPrint(Log(), "[Error] Fail to send CONF-ACK (%d)\r\n", rc);
  }

  if (!RestartTimer(kActiveTimerMs)) {
    DebugPrint(Log(), "[Error] Fail to set Active-timer\r\n");
  }
  SetState(Active);
}

void CClientThread::SKAVDRxCloseReq(const SKAV_Msg&) {
  const int32_t was = State();
  if (was != Active && was != Closing && was != TftpLastBlock) return;
  StopTimer();
  SetFlag(gracefulClosing);

  uint8_t storage[kReplyFrameSize];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  int rc = SKAV_MsgInit(buf, SKAV_CLOSE_ACK, 0);
  if (rc != 0) {
    DebugPrint(Log(), "[Error] Fail to create CLOSE-ACK (%d)\r\n", rc);
  } else {
    rc = L2_TxPkt(link, mac, kEtherTypeSkav, buf, Log());
    if (rc != 0) {
      DebugPrint(Log(), "[Error] Fail to send CLOSE-ACK (%d)\r\n", rc);
    }
  }

  if (!RestartTimer(kCloseTimerMs)) {
    DebugPrint(Log(), "[Error] Fail to set Close-timer\r\n");
  }

  if (was == TftpLastBlock) {
    // The device closes only once it holds the whole image: the CLOSE-REQ
    // stands for the final block's lost ACK.
    TFTPUploadDone(*this);
    if (HasFlag(tftpDone)) SetFlag(fwUpgradeDone);
    DebugPrint(Log(),
               "[%02x-%02x-%02x-%02x-%02x-%02x] TFTP uploading done (file %d, "
               "implicitly acked w/ CLOSE-REQ), go to 'Closing' state\r\n",
               MAC_ARGS(mac), fileIndex);
  } else if (was == Active) {
    if (HasFlag(tftpDone)) SetFlag(fwUpgradeDone);
    DebugPrint(Log(),
               "[%02x-%02x-%02x-%02x-%02x-%02x] go to 'Closing' state\r\n",
               MAC_ARGS(mac));
  }
  SetState(Closing);
}

void CClientThread::SKAVDRxKeepAliveReq(const SKAV_Msg& msg) {
  if (State() != Active) return;
  StopTimer();

  uint8_t storage[kReplyFrameSize];
  PktBuf buf;
  PktBufInit(buf, storage, sizeof storage);
  int rc = SKAV_MsgInit(buf, SKAV_KEEP_ALIVE_ACK, 0);
  if (rc == 0) {
    if (const SKAV_Opt* id = SKAV_FindOpt(msg, SKAV_OPT_ID)) {
      rc = SKAV_MsgAddOpt(buf, SKAV_OPT_ID, id->bytes, 4);
    }
  }
  if (rc != 0) {
    DebugPrint(Log(), "[Error] Fail to create KEEP-ALIVE-ACK (%d)\r\n", rc);
  } else {
    rc = L2_TxPkt(link, mac, kEtherTypeSkav, buf, Log());
    if (rc != 0) {
      DebugPrint(Log(), "[Error] Fail to send KEEP-ALIVE-ACK (%d)\r\n", rc);
    }
  }

  if (!RestartTimer(kActiveTimerMs)) {
    DebugPrint(Log(), "[Error] Fail to set Active-timer\r\n");
  }
}

void CClientThread::SKAVDRxTftpUlReq(const SKAV_Msg& msg) {
  if (State() == TftpLastBlock) {
    // A device asks for its next image only once it holds the previous one
    // whole: the request stands for the final block's lost ACK.
    TFTPUploadDone(*this);
    StopTimer();
    SetState(Active);
    DebugPrint(Log(),
               "[%02x-%02x-%02x-%02x-%02x-%02x] TFTP uploading done (file %d, "
               "implicitly acked w/ TFTP-UL-REQ), go to 'Active' state\r\n",
               MAC_ARGS(mac), fileIndex);
    if (!RestartTimer(kActiveTimerMs)) {
      DebugPrint(Log(), "[Error] Fail to set Active-timer\r\n");
    }
  }

  if (State() == Active) {
    const int index =
        TFTPSelectFile(*this, SKAV_FindOpt(msg, SKAV_OPT_FILE_NAME));
    if (index < 0) return;  // TFTPSelectFile said why; nothing changes
    fileIndex = index;

    StopTimer();
    const int rc = TFTPStartUpload(*this);
    if (rc != 0) {
      DebugPrintNoted(Log(), LineNote::kTrouble,
                 "[%02x-%02x-%02x-%02x-%02x-%02x] Fail to start TFTP firmware "
                 "uploading (%d), file (%d)\r\n",
                 MAC_ARGS(mac), rc, fileIndex);
      if (!RestartTimer(kActiveTimerMs)) {
        DebugPrint(
            Log(),
            "[Error] Fail to set Active-timer in SKAVDRxTftpUlReq()\r\n");
      }
      return;
    }
    live->BeginTransfer(fileIndex, images->len[fileIndex]);
    if (!RestartTimer(kTftpTimerMs)) {
      DebugPrint(Log(),
                 "[Error] Fail to set the timer for TFTP PKT timeout "
                 "SKAVDRxTftpUlReq()\r\n");
    }
    DebugPrint(Log(),
               "[%02x-%02x-%02x-%02x-%02x-%02x] go to 'TFTP-Uploading' state, "
               "start TFTP uploading, file (%d)\r\n",
               MAC_ARGS(mac), fileIndex);
    SetState(TftpUploading);
  } else if (State() == TftpUploading) {
    // The device repeats its request while the WRQ is unanswered; the
    // timer and the retry count run on.
    TFTPRetransmit(*this);
  }
}

void CClientThread::TFTPRxDatagram(const uint8_t* bytes, size_t len) {
  UdpDatagramView udp;
  if (!ParseIpv4Udp(bytes, len, udp)) return;
  if (udp.dstPortNet != localPort) return;
  // Before the reply is acted on: once the next DATA is out, the socket may
  // already hold the device's answer to it, which is no copy of this one.
  TFTPNoteCapturedReply(*this);
  TFTPRxReply(udp.payload, udp.payloadLen, udp.srcPortNet);
}

void CClientThread::TFTPRxReply(const uint8_t* payload, int len, uint16_t srcPortNet) {
  const int32_t state = State();
  if (!InTransferState(state)) return;
  // The first ACK fixes the device's port; afterwards another port is a
  // stranger, told off without disturbing the transfer.
  if (state != TftpUploading && srcPortNet != peerPort) {
    TFTPSendError(*this, srcPortNet, kTftpErrorUnknownTid,
                  "Inconsistent UDP source port");
    return;
  }

  uint32_t timerMs = 0;
  SetState(TFTPRxPkt(*this, payload, len, srcPortNet, &timerMs));
  if (timerMs != 0 && !RestartTimer(timerMs)) {
    DebugPrint(Log(), "[Error] Fail to set TFTP/Active-timer\r\n");
  }
}

void CClientThread::SKAVDOnTimer() {
  StopTimer();
  const int32_t state = State();
  if (state == Active || state == Closing) {
    DebugPrint(Log(),
               "[%02x-%02x-%02x-%02x-%02x-%02x] '%s' timeouts, go to 'Closed' "
               "state\r\n",
               MAC_ARGS(mac), state == Active ? "Active" : "Closing");
    SetState(Closed);
    SKAVDExitReport();
    return;
  }
  if (!InTransferState(state)) return;

  uint32_t next;
  if (++retryCount > 4) {
    DebugPrintNoted(Log(), LineNote::kTrouble,
               "[%02x-%02x-%02x-%02x-%02x-%02x] TFTP fails (timeout), go to "
               "'Active' state\r\n",
               MAC_ARGS(mac));
    live->TransferFailed(FailureCause::kTimeout, static_cast<uint32_t>(blockNo));
    SetFlag(tftpFailed);
    SetState(Active);
    next = kActiveTimerMs;
  } else {
    if (state == TftpUploading) {
      DebugPrint(Log(),
                 "[%02x-%02x-%02x-%02x-%02x-%02x] TFTP WRQ timeout, "
                 "re-transmit...\r\n",
                 MAC_ARGS(mac));
    }
    TFTPTakeRepliesFromCapture(*this);
    TFTPRetransmit(*this);
    next = kTftpTimerMs;
  }
  if (!RestartTimer(next)) {
    DebugPrint(Log(), "[Error] Fail to set TFTP timer: %d ms\r\n",
               static_cast<int>(next));
  }
}

void CClientThread::SKAVDExitReport() {
  live->Ended();
  const char* tftp = HasFlag(tftpDone)     ? "Done"
                     : HasFlag(tftpFailed) ? "Failed"
                                           : "None";
  DebugPrintNoted(Log(), OutcomeNote(ClientOutcome(*this)),
             "[%02x-%02x-%02x-%02x-%02x-%02x] exits. TFTP: %s, FW Upgrade: %s, "
             "Graceful Closing: %s.\r\n",
             MAC_ARGS(mac), tftp, HasFlag(fwUpgradeDone) ? "Done" : "None",
             HasFlag(gracefulClosing) ? "Yes" : "No");
  SKAVDNotifyExit(*this);
}
