// The client record's life on its thread: start, end, message dispatch,
// its one timer, and the outcome the panel and the log file show.
#include "protocol/client_thread.h"

#include <unistd.h>

#include <cstring>

#include "protocol/client_table.h"
#include "transfer/reply_input.h"

CClientThread::CClientThread(L2_If* link, const LogSlot* logSlot,
                             const uint8_t mac[6], const UploadImages* images,
                             int32_t regionCode)
    : link(link),
      logSlot(logSlot),
      regionCode(regionCode),
      images(images) {
  std::memcpy(this->mac, mac, sizeof this->mac);
  stMask = images ? images->stMask : 0;
  firmwareOffered = images && images->Loaded(0);
}

CClientThread::~CClientThread() {
  // A thread that ran has closed the socket in ExitInstance; one that never
  // started leaves it to the record.
  if (sock != -1) {
    ::close(sock);
    sock = -1;
  }
}

bool CClientThread::InitInstance() {
  // No window and nothing to prepare: the message loop is all it needs.
  return true;
}

int CClientThread::ExitInstance() {
  TFTPEndReplyInput(*this);
  return 0;
}

void CClientThread::OnThreadEnded() { SKAVDNoteThreadEnded(); }

void CClientThread::AfterMessage() {
  const int32_t state = State();
  // The port is reserved for the transfer alone. Held on until the next
  // transfer or the client's end, it would keep a descriptor through the
  // 6 s Close timer of every device that has finished, and a line serving
  // devices back to back at 1024 descriptors would run out of them.
  if (sock != -1 && !InTransferState(state)) TFTPEndReplyInput(*this);
  if (state == Closed) EndLoop();
}

void CClientThread::OnThreadMessage(uint32_t msg, const uint8_t* data,
                                    size_t len) {
  switch (msg) {
    case WM_SKAV_MSG: {
      // A reply waiting in the socket came first: a device acknowledges its
      // final block, then asks for its next image or closes, and that frame
      // reaches us by way of the server thread, after the ACK.
      TFTPReadSocketReplies(*this);
      bool wasCreated = State() == Created;
      SKAVDRxMsg(data, len);
      // The only way from Created straight to Closed is a first frame that
      // did not parse; mark it so that Clear removes it as announced.
      if (wasCreated && State() == Closed) SetFlag(falseCreation);
      break;
    }
    case WM_IP_PKT:
      TFTPRxDatagram(data, len);
      break;
    default:
      break;
  }
  AfterMessage();
}

void CClientThread::OnDescriptorReadable() {
  TFTPReadSocketReply(*this);
  AfterMessage();
}

void CClientThread::OnTimerMessage() {
  SKAVDOnTimer();
  AfterMessage();
}

bool CClientThread::RestartTimer(uint32_t ms) {
  StopTimer();
  timerId = SetTimer(ms);
  return timerId != 0;
}

void CClientThread::StopTimer() {
  if (timerId != 0) {
    KillTimer(timerId);
    timerId = 0;
  }
}
