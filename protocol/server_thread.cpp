// The server thread: the advertisement loop, the frame handler that feeds
// client threads, the panel refresh cadence and the end of every client.
#include "protocol/server_thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "protocol/msg_thread.h"
#include "protocol/skav_msg.h"

namespace {

constexpr uint8_t kBroadcastMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr int32_t kAdvertiseBufSize = 128;
constexpr int kCycleMs = 500;
constexpr int kSkavMinFrame = kEthHeaderLen + kSkavHeaderLen;  // 20
constexpr int kSkavCodeOffset = kEthHeaderLen + 2;             // byte 16
constexpr int kIdleCyclesPerUpdate = 2;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A copy of each client's fixed facts and a hold on its live block; the
// reader keeps them however the list changes afterwards.
void PublishProgress(ProgressBoard& board) {
  std::vector<ProgressRow> rows;
  try {
    for (CClientThread* c = gClientList; c; c = c->Next()) {
      ProgressRow row;
      std::memcpy(row.mac, c->mac, sizeof row.mac);
      row.ipAddr = c->ipAddr;
      row.firmwareOffered = c->firmwareOffered;
      row.stMask = c->stMask;
      row.live = c->live;
      rows.push_back(std::move(row));
    }
  } catch (const std::exception&) {
    return;  // no memory: the readers keep the last picture
  }
  board.Publish(std::move(rows));
}

// Held here and written by the files' writer, so that no file can hold up
// the loop; nothing is held without a log file or a record kept (checked
// under the log lock: the window may replace either at any time). During
// the run at most `bound` lines wait for each file; the stop holds them
// all. The counts follow the files, so that they agree with the lines they
// got.
void HoldOutcomesAndCount(SKAVDContext* ctx, size_t bound) {
  LogFileOutcomes(ctx->logFile, gClientList, bound);
  RecordFileOutcomes(ctx->recordFile, gClientList, ctx->regionCode, ctx->imageFacts,
                     ctx->recordServer, bound);
  LineFileHeld(ctx->logFile, LogControl(ctx->logSlot));
  LineFileHeld(ctx->recordFile, LogControl(ctx->logSlot));
  CountOutcomes(ctx->counters, gClientList);
}

// "Retry Failed": one line in the Debug Window and one in the log file
// naming the boards that may be served again.
void SayRetried(SKAVDContext* ctx, int count, const std::string& macs) {
  // A line holds 511 bytes: the names are cut to what fits with the count.
  std::string named = macs.size() > 400 ? macs.substr(0, macs.rfind(", ", 400)) + ", ..." : macs;
  const std::string text =
      count == 0 ? std::string("Retry Failed: no failed device to serve again")
                 : "Retry Failed: " + std::to_string(count) +
                       (count == 1 ? " failed device is" : " failed devices are") +
                       " served again when they ask: " + named;
  DebugPrint(LogControl(ctx->logSlot), "%s\r\n", text.c_str());
  LogFileNote(ctx->logFile, text);
}

// The advertisement failing every cycle (a port without link) is said
// once with its reason, and once more when it goes out again.
class AdvertiseFailures {
 public:
  void Sent(int rc, int error, LogSink* log) {
    if (rc == 0) {
      if (failed_ > 1)
        DebugPrint(log, "Advertisements go out again (%lld sends failed)\r\n",
                   static_cast<long long>(failed_));
      failed_ = 0;
      return;
    }
    if (failed_++ > 0) return;
    char reason[128] = "";
    if (rc == 6)
      std::snprintf(reason, sizeof reason, ": the interface cannot send (%s); said again when it can",
                    std::strerror(error));
    DebugPrint(log, "[Error] Fail to send Advertisement (%d)%s\r\n", rc, reason);
  }

 private:
  long long failed_ = 0;
};

}  // namespace

int SKAVDServerThread(SKAVDContext* ctx) {
  if (!ctx->resume) {
    // A stop that expected its run to resume kept the clients: a new run
    // starts without them, and readers of the board see only its own.
    SKAVDDeleteAllClients();
    ctx->progress.Publish({});
  }
  clientExited.store(0);
  LogFileBanner(ctx->logFile, BANNER_REWORK_START);
  // A run without a panel (no front end showing one) skips every panel step.
  // A resumed run shows the devices of the run it resumes as they ended.
  if (ctx->statusCtl) {
    if (ctx->resume) {
      GUIStatusUpdateSorting(ctx->statusCtl, gClientList, ctx->panel);
    } else {
      GUIStatusReset(ctx->statusCtl, 0, ctx->panel);
    }
  }

  // Built once; each send pushes the Ethernet header in front of it, and
  // the header is taken off again so the next cycle sends the same bytes.
  // 14 bytes in 128 with 64 of head room: building cannot fail.
  uint8_t advStorage[kAdvertiseBufSize];
  PktBuf advertise;
  PktBufInit(advertise, advStorage, kAdvertiseBufSize);
  SKAV_MsgInit(advertise, SKAV_ADVERTISE, 0);
  SKAV_MsgAddOpt(advertise, SKAV_OPT_MAGIC_NO, "KSTN", 4);
  const int32_t advertiseLen = advertise.len;

  int idleCycles = 0;
  const L2_RxHandler handler{SKAVDRxFrame, ctx};
  AdvertiseFailures advertiseFailures;

  for (;;) {
    ctx->counters.cycles.fetch_add(1, std::memory_order_relaxed);
    int rc = L2_TxPkt(ctx->link, kBroadcastMac, kEtherTypeSkav, advertise,
                      nullptr);
    const int sendError = errno;
    const int64_t sentMs = NowMs();
    advertiseFailures.Sent(rc, sendError, LogControl(ctx->logSlot));
    // Only a send that got as far as pushing the header leaves it there
    // (a failing port does; an oversize or no-room refusal does not), and
    // stripping 14 bytes that were never pushed would eat the message.
    if (advertise.len == advertiseLen + kEthHeaderLen) {
      advertise.data += kEthHeaderLen;
      advertise.len -= kEthHeaderLen;
    }

    // The files, the counts and the panel come between this advertisement
    // and the receive that ends with the next, so that they take their
    // time out of the cycle instead of adding to it. With a thousand
    // devices arriving they once took 83 ms after a cycle of under 20, and
    // taking the last cycle's share off the wait had still sent those two
    // advertisements 585 ms apart.
    HoldOutcomesAndCount(ctx, kMaxHeldLines);

    if (ctx->progress.wanted.load(std::memory_order_relaxed)) PublishProgress(ctx->progress);

    bool exited = clientExited.exchange(0) != 0;
    SKAVDJoinEndedClients();
    SKAVDReportTurnedAway(LogControl(ctx->logSlot), ctx->maxLiveClients);

    // Clients keep closing while the outcomes above are held; only those
    // already counted, and with a file kept only those already held for
    // it, may go (forgotten here or cleared below), or a device
    // closing just then would vanish from the permanent record or the
    // counts.
    const uint32_t written = outcomeCounted |
                             (LineFileIsKept(ctx->logFile) ? outcomeLogged : 0u) |
                             (LineFileIsKept(ctx->recordFile) ? recordWritten : 0u);
    const bool forgot = ctx->forgetAfterMs > 0 &&
                        SKAVDForgetClients(NowMs(), ctx->forgetAfterMs, written);

    // Taken before it is served: a request the window makes during the
    // rebuild (another sort order, a Clear) stays for the next cycle.
    int32_t request = ctx->panel.w[refreshRequest].exchange(0);
    if (request != 0 || forgot) {
      if ((request & kRequestReapDone) != 0) SKAVDReapClients(written);
      if ((request & kRequestReapError) != 0) {
        std::string macs;
        const int retried = SKAVDReapClients(written, Outcome::kError, &macs);
        SayRetried(ctx, retried, macs);
      }
      if (ctx->statusCtl)
        GUIStatusUpdateSorting(ctx->statusCtl, gClientList, ctx->panel);
    } else if (exited || idleCycles + 1 >= kIdleCyclesPerUpdate) {
      if (ctx->statusCtl)
        GUIStatusUpdate(ctx->statusCtl, gClientList, ctx->panel);
      idleCycles = 0;
    } else {
      ++idleCycles;
    }

    const int64_t leftMs = std::max<int64_t>(0, kCycleMs - (NowMs() - sentMs));
    if (L2_RxPkts(ctx->link, handler, static_cast<int>(leftMs)) == 3) {
      DebugPrint(LogControl(ctx->logSlot),
                 "[Error] Fail to receive L2 packets\r\n");
    }

    if (ctx->running.load() == 0) {
      // Devices still being served when the run ends get their line too,
      // written before their clients end: a half-flashed device is the
      // one the permanent record must not lose. Every client goes now, so
      // every line is held, whatever the bound.
      SKAVDMarkUnfinished(LogControl(ctx->logSlot));
      HoldOutcomesAndCount(ctx, SIZE_MAX);
      // The panel and the progress views end showing how each device ended.
      if (ctx->statusCtl) GUIStatusUpdate(ctx->statusCtl, gClientList, ctx->panel);
      if (ctx->progress.wanted.load(std::memory_order_relaxed)) PublishProgress(ctx->progress);
      SKAVDEndAllClients(ctx->keepClients);
      return 0;
    }
  }
}

int SKAVDRxFrame(void* context, const L2_Frame& frame) {
  auto* ctx = static_cast<SKAVDContext*>(context);
  if (frame.length < static_cast<uint32_t>(kEthHeaderLen)) return 0;
  const uint8_t* bytes = frame.bytes;
  uint16_t etherType = static_cast<uint16_t>(bytes[12] << 8 | bytes[13]);

  uint32_t msg;
  bool createAllowed;
  if (etherType == kEtherTypeIpv4) {
    msg = WM_IP_PKT;
    createAllowed = false;
  } else if (etherType == kEtherTypeSkav) {
    if (frame.length < static_cast<uint32_t>(kSkavMinFrame)) return 0;
    msg = WM_SKAV_MSG;
    // Only the Code byte decides; the message is parsed on the client's
    // thread, so a malformed CONF-REQ still creates a client.
    createAllowed = bytes[kSkavCodeOffset] == SKAV_CONF_REQ;
  } else {
    return 0;
  }

  CClientThread* client = SKAVDGetClient(bytes + 6, createAllowed, *ctx);
  // A Closed client takes nothing more; its thread has ended or is ending.
  if (!client || client->State() == Closed) return 0;
  // A transfer reading its socket has its reply from there already.
  if (msg == WM_IP_PKT && client->repliesFromSocket.load(std::memory_order_relaxed)) return 0;

  // The capture buffer is reused by the next capture call, so the client
  // gets its own copy of the bytes behind the Ethernet header.
  try {
    client->PostThreadMessage(
        msg, std::vector<uint8_t>(bytes + kEthHeaderLen, bytes + frame.length));
  } catch (const std::exception&) {
    // No memory for the copy: the frame is dropped like any lost frame.
  }
  return 0;
}
