// One device being served: its record, its thread and its state machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "report/debug_print.h"
#include "link/l2_if.h"
#include "protocol/msg_thread.h"
#include "protocol/skav_msg.h"
#include "report/device_record.h"
#include "transfer/upload_images.h"

/// 'TFTP-Uploading', `TFTP-Sending` or `TFTP-Last-Block`: a transfer runs.
inline bool InTransferState(int32_t state) {
  return state == TftpUploading || state == TftpSending || state == TftpLastBlock;
}

constexpr uint32_t kActiveTimerMs = 60000;
constexpr uint32_t kCloseTimerMs = 6000;
constexpr uint32_t kTftpTimerMs = 500;

class CClientThread : public DeviceRecord, public MsgThread {
 public:
  /// State `Created`, flags 0, sock -1; images, stMask and regionCode are
  /// the server's at creation.
  CClientThread(L2_If* link, const LogSlot* logSlot, const uint8_t mac[6],
                const UploadImages* images, int32_t regionCode);
  ~CClientThread() override;

  L2_If* link;                 ///< replies and TFTP packets leave here
  const LogSlot* logSlot;      ///< read anew at every log line
  uint32_t timerId = 0;
  int32_t retryCount = 0;
  int32_t regionCode;
  const UploadImages* images;  ///< buf and len of every image
  const uint8_t* dataPtr = nullptr;
  int32_t dataLen = 0;
  uint32_t stDone = 0;
  int32_t fwDone = 0;
  int32_t fileIndex = 0;
  int32_t blockNo = 0;
  uint16_t ipId = 0;
  uint16_t localPort = 0;      ///< network order
  uint16_t peerPort = 0;       ///< network order
  int sock = -1;
  /// The transfer reads its replies from `sock`; the server thread reads
  /// this too and then leaves their captured copies out.
  std::atomic<bool> repliesFromSocket{false};
  bool holdsCapture = false;    ///< an IPv4 capture hold of this transfer's
  bool checkingSocket = false;  ///< moved to the capture by a timeout
  bool socketUnreached = false; ///< the device's replies never reach sockets

  /// The next client of the server's list.
  CClientThread* Next() const { return static_cast<CClientThread*>(next); }
  /// The Debug Window control at this moment, or nullptr.
  LogSink* Log() const { return LogControl(logSlot); }

  // The state machine; each runs on the client's own thread.
  void SKAVDRxMsg(const uint8_t* bytes, size_t len);
  void SKAVDRxConfReq(const SKAV_Msg& msg);
  void SKAVDRxCloseReq(const SKAV_Msg& msg);
  void SKAVDRxKeepAliveReq(const SKAV_Msg& msg);
  void SKAVDRxTftpUlReq(const SKAV_Msg& msg);
  void TFTPRxDatagram(const uint8_t* bytes, size_t len);
  /// A reply of the device's to the transfer's port: its UDP payload.
  void TFTPRxReply(const uint8_t* payload, int len, uint16_t srcPortNet);
  void SKAVDOnTimer();
  void SKAVDExitReport();

 protected:
  bool InitInstance() override;
  int ExitInstance() override;
  void OnThreadEnded() override;
  void OnThreadMessage(uint32_t msg, const uint8_t* data, size_t len) override;
  void OnTimerMessage() override;
  /// A transfer in flight: its next ACK is due within tens of microseconds.
  bool ExpectsMessageSoon() const override { return InTransferState(State()); }
  int WaitDescriptor() const override {
    return repliesFromSocket.load(std::memory_order_relaxed) ? sock : -1;
  }
  void OnDescriptorReadable() override;

 private:
  /// Stops the timer in timerId (if any) and starts one of `ms`; the new id
  /// (0 on failure) replaces it.
  bool RestartTimer(uint32_t ms);
  void StopTimer();
  /// After every handler: a transfer that has ended (done, failed or
  /// aborted) gives back its reserved socket, and a Closed client, which
  /// never acts again, ends its thread (queue and timer go with it); the
  /// record stays for the panel, the log file and Clear.
  void AfterMessage();
};
