// One device being served: its record, its thread and its state machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "report/debug_print.h"
#include "link/l2_if.h"
#include "protocol/msg_thread.h"
#include "protocol/skav_msg.h"
#include "transfer/upload_images.h"

enum ClientState : int32_t {
  Ended = 0,
  Created = 1,
  Active = 2,
  TftpUploading = 3,
  Closing = 4,
  Closed = 5,
  TftpSending = 6,
  TftpLastBlock = 7,
};

enum ClientFlag : uint32_t {
  tftpDone = 0x02,
  fwUpgradeDone = 0x04,
  tftpFailed = 0x08,
  gracefulClosing = 0x10,
  /// The frame that created the client did not parse: it never served a
  /// device, so Clear removes it whatever its outcome.
  falseCreation = 0x20,
  /// Not Closed when the run stopped: its outcome is Error.
  interruptedByStop = 0x40,
  outcomeLogged = 0x10000000,
};

enum class Outcome { kReworking, kDone, kError };

/// 'TFTP-Uploading', `TFTP-Sending` or `TFTP-Last-Block`: a transfer runs.
inline bool InTransferState(int32_t state) {
  return state == TftpUploading || state == TftpSending || state == TftpLastBlock;
}

constexpr uint32_t kActiveTimerMs = 60000;
constexpr uint32_t kCloseTimerMs = 6000;
constexpr uint32_t kTftpTimerMs = 500;

class CClientThread : public MsgThread {
 public:
  /// State `Created`, flags 0, sock -1; images, stMask and regionCode are
  /// the server's at creation.
  CClientThread(L2_If* link, const LogSlot* logSlot, const uint8_t mac[6],
                const UploadImages* images, int32_t regionCode);
  ~CClientThread() override;

  L2_If* link;                 ///< replies and TFTP packets leave here
  const LogSlot* logSlot;      ///< read anew at every log line
  uint8_t mac[6];
  uint32_t ipAddr = 0;         ///< network order
  std::atomic<int32_t> state{Created};  ///< read by the server thread
  CClientThread* next = nullptr;
  std::atomic<uint32_t> flags{0};       ///< read by the server thread
  uint32_t timerId = 0;
  int32_t retryCount = 0;
  int32_t regionCode;
  const UploadImages* images;  ///< buf and len of every image
  const uint8_t* dataPtr = nullptr;
  int32_t dataLen = 0;
  uint32_t stMask;
  uint32_t stDone = 0;
  int32_t fwDone = 0;
  int32_t fileIndex = 0;
  int32_t blockNo = 0;
  uint16_t ipId = 0;
  uint16_t localPort = 0;      ///< network order
  uint16_t peerPort = 0;       ///< network order
  int sock = -1;
  /// Server thread only: its steady clock in ms when it first saw the
  /// client Closed; 0 before.
  int64_t closedSeenMs = 0;

  /// The Debug Window control at this moment, or nullptr.
  LogSink* Log() const { return LogControl(logSlot); }
  void SetFlag(uint32_t bit) { flags.fetch_or(bit, std::memory_order_relaxed); }
  bool HasFlag(uint32_t bit) const {
    return (flags.load(std::memory_order_relaxed) & bit) != 0;
  }
  int32_t State() const { return state.load(std::memory_order_relaxed); }
  void SetState(int32_t s) { state.store(s, std::memory_order_relaxed); }

  // The state machine; each runs on the client's own thread.
  void SKAVDRxMsg(const uint8_t* bytes, size_t len);
  void SKAVDRxConfReq(const SKAV_Msg& msg);
  void SKAVDRxCloseReq(const SKAV_Msg& msg);
  void SKAVDRxKeepAliveReq(const SKAV_Msg& msg);
  void SKAVDRxTftpUlReq(const SKAV_Msg& msg);
  void TFTPRxDatagram(const uint8_t* bytes, size_t len);
  void SKAVDOnTimer();
  void SKAVDExitReport();

 protected:
  bool InitInstance() override;
  int ExitInstance() override;
  void OnThreadEnded() override;
  void OnThreadMessage(uint32_t msg, const uint8_t* data, size_t len) override;
  void OnTimerMessage() override;

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

/// Reworking unless Closed; Done when nothing was offered or fwUpgradeDone.
Outcome ClientOutcome(const CClientThread& client);
