// The server's clients: the MAC-sorted list and its index by MAC, the
// 10.0.0.0/8 address pool, and the ending of client threads at Clear and at
// Stop.
#include "protocol/client_table.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <unordered_map>

#include "report/debug_print.h"
#include "protocol/client_thread.h"
#include "protocol/per_device_gate.h"
#include "protocol/server_thread.h"

CClientThread* gClientList = nullptr;
std::atomic<int32_t> clientExited{0};

namespace {

constexpr uint32_t kServerAddr = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kServerMask = 0xFF000000;  // 255.0.0.0
constexpr uint32_t kFirstClientAddr = kServerAddr + 1;

// The pool lives as long as the process: a new Start carries on where the
// last run stopped. Used by the server thread only.
bool gPoolSet = false;
uint32_t gPoolCounter = 0;   // host order
uint32_t gPoolHostMask = 0;  // host order

// The clients of gClientList by MAC, so that finding a frame's client does
// not walk a list that keeps every device of a long shift until Clear. The
// list stays the order the panel and the log file see. Server thread only,
// like the list: changed wherever a record joins or leaves it.
std::unordered_map<uint64_t, CClientThread*> gByMac;

uint64_t MacKey(const uint8_t mac[6]) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  return key;
}

// Client threads that have ended since the server thread last joined them.
std::atomic<int32_t> gEndedThreads{0};
// Client threads started and not yet ended: the clients not yet Closed.
std::atomic<int32_t> gLiveThreads{0};
// New devices turned away at the ceiling since the last line said so, and
// when that was; server thread only.
int64_t gTurnedAway = 0;
std::chrono::steady_clock::time_point gTurnedAwayShown{};

// Devices lately named for a client that could not be made; server thread
// only.
PerDeviceGate gCreateFailures{std::chrono::minutes(1)};
int (*gClientFault)(const uint8_t mac[6]) = nullptr;

void NoteCreateFailure(LogSink* log, const uint8_t mac[6], const char* reason) {
  if (!gCreateFailures.Allow(mac, PerDeviceGate::Clock::now())) return;
  DebugPrint(log, "[Error] Fail to create client %02x-%02x-%02x-%02x-%02x-%02x: %s\r\n",
             mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], reason);
}

}  // namespace

CClientThread* SKAVDGetClient(const uint8_t mac[6], bool createAllowed,
                              SKAVDContext& ctx) {
  // A list emptied from outside (a new run starts with an empty one) takes
  // its index with it.
  if (!gClientList && !gByMac.empty()) gByMac.clear();
  const uint64_t key = MacKey(mac);
  const auto found = gByMac.find(key);
  if (found != gByMac.end()) return found->second;
  if (!createAllowed) return nullptr;
  // Every client not yet Closed holds a thread, and threads are the whole
  // machine's: invented MACs by the thousand must not take it down.
  if (ctx.maxLiveClients > 0 && gLiveThreads.load() >= ctx.maxLiveClients) {
    ++gTurnedAway;
    ctx.counters.turnedAway.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }

  // The thread is started before the record joins the list. A client that
  // cannot be made leaves nothing behind (no record, no address): the
  // device is named with the reason, and its next CONF-REQ tries again,
  // while every other device goes on being served.
  LogSink* log = LogControl(ctx.logSlot);
  const int fault = gClientFault ? gClientFault(mac) : 0;
  CClientThread* client = nullptr;
  if (fault != ENOMEM) {
    try {
      client = new CClientThread(ctx.link, ctx.logSlot, mac, &ctx.images,
                                 ctx.regionCode);
    } catch (const std::exception&) {
    }
  }
  if (client) {
    try {
      gByMac.emplace(key, client);
    } catch (const std::exception&) {
      delete client;
      client = nullptr;
    }
  }
  if (!client) {
    ctx.counters.createFailures.fetch_add(1, std::memory_order_relaxed);
    NoteCreateFailure(log, mac, "out of memory");
    return nullptr;
  }
  int error = fault;
  // Counted before it starts: a thread that runs at all uncounts itself as
  // it ends, even one that refuses to start.
  gLiveThreads.fetch_add(1);
  // Returns once the thread can take messages: the caller posts the frame
  // that created the client right after.
  if (fault != 0 || !client->CreateThread(&error)) {
    if (error != 0) gLiveThreads.fetch_sub(1);  // no thread ran
    char reason[128];
    const char* text = error != 0 ? strerrordesc_np(error) : nullptr;
    std::snprintf(reason, sizeof reason, "CreateThread() fails (%s)",
                  text ? text : "the thread refused to start");
    ctx.counters.createFailures.fetch_add(1, std::memory_order_relaxed);
    NoteCreateFailure(log, mac, reason);
    gByMac.erase(key);
    client->WaitForEnd();
    delete client;
    return nullptr;
  }
  // Only a new device walks the list: the list is ascending, so the walk
  // stops at the first MAC not smaller than the key, the place to insert.
  CClientThread* before = nullptr;
  CClientThread* at = gClientList;
  while (at && std::memcmp(at->mac, mac, 6) < 0) {
    before = at;
    at = at->Next();
  }
  client->next = at;
  if (before)
    before->next = client;
  else
    gClientList = client;
  // Written before the first post, which hands it over to the thread.
  client->ipAddr = SKAVDAllocIp();

  char dotted[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &client->ipAddr, dotted, sizeof dotted);
  DebugPrint(log, "New client: %02x-%02x-%02x-%02x-%02x-%02x, assigned IP: %s\r\n",
             mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], dotted);
  return client;
}

void SKAVDSetClientFaultForTest(int (*fault)(const uint8_t mac[6])) {
  gClientFault = fault;
}

uint32_t SKAVDAllocIp() {
  if (!gPoolSet) {
    gPoolCounter = kServerAddr;
    gPoolHostMask = ~kServerMask;
    gPoolSet = true;
  }
  ++gPoolCounter;
  // An all-ones host part is the broadcast address: start over.
  if ((gPoolCounter & gPoolHostMask) == gPoolHostMask)
    gPoolCounter = kFirstClientAddr;
  return htonl(gPoolCounter);
}

void SKAVDResetPoolForTest() { gPoolSet = false; }

namespace {

// The second pass of a removal: unlinks every client marked Ended, waits
// for its thread and deletes it. True when any was removed.
bool RemoveEnded() {
  bool removed = false;
  CClientThread* before = nullptr;
  CClientThread* c = gClientList;
  while (c) {
    CClientThread* after = c->Next();
    if (c->State() != Ended) {
      before = c;
    } else {
      if (before)
        before->next = after;
      else
        gClientList = after;
      gByMac.erase(MacKey(c->mac));
      c->WaitForEnd();
      delete c;
      removed = true;
    }
    c = after;
  }
  return removed;
}

// Marks a Closed client for removal. Its thread has ended on its own, or is
// ending; the quit is for a record put in Closed from outside its thread.
void MarkEnded(CClientThread* c) {
  c->SetState(Ended);
  c->PostQuit();
}

}  // namespace

void SKAVDReapClients() { SKAVDReapClients(0); }

void SKAVDReapClients(uint32_t written) { SKAVDReapClients(written, Outcome::kDone); }

int SKAVDReapClients(uint32_t written, Outcome outcome, std::string* macs) {
  int reaped = 0;
  for (CClientThread* c = gClientList; c; c = c->Next()) {
    if (c->State() != Closed) continue;
    if ((c->flags.load(std::memory_order_relaxed) & written) != written) continue;
    // A false creation is no board: Clear takes it, a retry has nothing to serve again.
    const bool falseOne = outcome == Outcome::kDone && c->HasFlag(falseCreation);
    if (ClientOutcome(*c) != outcome && !falseOne) continue;
    if (macs != nullptr) {
      const uint8_t* m = c->mac;
      char text[20];
      std::snprintf(text, sizeof text, "%s%02X-%02X-%02X-%02X-%02X-%02X",
                    macs->empty() ? "" : ", ", m[0], m[1], m[2], m[3], m[4], m[5]);
      *macs += text;
    }
    MarkEnded(c);
    ++reaped;
  }
  RemoveEnded();
  return reaped;
}

bool SKAVDForgetClients(int64_t nowMs, int64_t afterMs, uint32_t written) {
  bool any = false;
  for (CClientThread* c = gClientList; c; c = c->Next()) {
    if (c->State() != Closed) continue;
    if (c->closedSeenMs == 0) {
      // 0 means "not yet seen"; a clock reading of 0 itself is taken as 1.
      c->closedSeenMs = nowMs != 0 ? nowMs : 1;
      continue;
    }
    if (nowMs - c->closedSeenMs < afterMs) continue;
    if ((c->flags.load(std::memory_order_relaxed) & written) != written) continue;
    MarkEnded(c);
    any = true;
  }
  return any && RemoveEnded();
}

void SKAVDMarkUnfinished(LogSink* log) {
  for (CClientThread* c = gClientList; c; c = c->Next()) {
    if (c->State() == Closed || c->HasFlag(outcomeLogged)) continue;
    const uint8_t* m = c->mac;
    // Its CLOSE-REQ is answered and nothing it receives can change any
    // more: a stop within the Close timer does not undo a full exchange.
    if (c->State() == Closing) {
      c->SetFlag(closingAtStop);
      const Outcome outcome = ClientOutcome(*c);
      DebugPrintNoted(log, OutcomeNote(outcome),
                      "[%02x-%02x-%02x-%02x-%02x-%02x] closing at the stop, outcome: %s\r\n",
                      m[0], m[1], m[2], m[3], m[4], m[5],
                      outcome == Outcome::kDone ? "Done" : "Error");
      continue;
    }
    c->SetFlag(interruptedByStop);
    DebugPrintNoted(log, LineNote::kOutcomeError,
                    "[%02x-%02x-%02x-%02x-%02x-%02x] interrupted by the stop, outcome: Error\r\n",
                    m[0], m[1], m[2], m[3], m[4], m[5]);
  }
}

void SKAVDEndAllClients(bool keepRecords) {
  for (CClientThread* c = gClientList; c; c = c->Next()) c->PostQuit();
  for (CClientThread* c = gClientList; c; c = c->Next()) {
    c->WaitForEnd();
    if (!keepRecords) continue;
    // Its outcome is final (a stop marked what was unfinished): the record
    // stays as a finished one, and the link it sent on goes with the run.
    c->SetState(Closed);
    c->link = nullptr;
  }
  if (!keepRecords) SKAVDDeleteAllClients();
  gCreateFailures.Clear();
  gTurnedAway = 0;
}

void SKAVDDeleteAllClients() {
  CClientThread* c = gClientList;
  while (c) {
    CClientThread* next = c->Next();
    c->WaitForEnd();
    delete c;
    c = next;
  }
  gClientList = nullptr;
  gByMac.clear();
}

void SKAVDNotifyExit(CClientThread& client) {
  clientExited.store(1);
  if (client.link) L2_BreakLoop(client.link);
}

void SKAVDNoteThreadEnded() {
  gLiveThreads.fetch_sub(1);
  gEndedThreads.fetch_add(1);
}

void SKAVDReportTurnedAway(LogSink* log, int32_t ceiling) {
  if (gTurnedAway == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - gTurnedAwayShown < std::chrono::seconds(1)) return;
  DebugPrint(log,
             "[Error] %lld CONF-REQ from new devices turned away: %d devices are being "
             "served, the most at once\r\n",
             static_cast<long long>(gTurnedAway), ceiling);
  gTurnedAway = 0;
  gTurnedAwayShown = now;
}

void SKAVDJoinEndedClients() {
  if (gEndedThreads.exchange(0) == 0) return;
  for (CClientThread* c = gClientList; c; c = c->Next())
    if (c->Ended()) c->WaitForEnd();
}
