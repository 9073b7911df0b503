// The server's clients: one list sorted by MAC, the address pool, and the
// ending of client threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "report/device_record.h"

class CClientThread;
class LogSink;
struct SKAVDContext;

/// Head of the client list, ascending MAC (unsigned bytes). Owned by the
/// server thread.
extern CClientThread* gClientList;

/// Set by a client thread when it writes its exit report; read and cleared
/// once per server cycle.
extern std::atomic<int32_t> clientExited;

/// Finds the client of `mac`; creates, starts and inserts one when allowed.
/// nullptr when there is none, or when it could not be created: then the
/// Debug Window is told which device and why (at most once a minute per
/// device), and the device's next CONF-REQ tries again.
CClientThread* SKAVDGetClient(const uint8_t mac[6], bool createAllowed,
                              SKAVDContext& ctx);

/// Test hook: when set, asked before each creation; a non-zero error number
/// makes it fail as if the system had refused (ENOMEM: the record, any
/// other: the thread). nullptr: no faults.
void SKAVDSetClientFaultForTest(int (*fault)(const uint8_t mac[6]));

/// Next pool address in network order: 10.0.0.2 upward, wrapping after
/// 10.255.255.254; never reset while the process lives.
uint32_t SKAVDAllocIp();

/// Test hook: forget the pool so that the next address is 10.0.0.2 again.
void SKAVDResetPoolForTest();

/// Ends and deletes the Closed clients whose outcome is Done.
void SKAVDReapClients();

/// Same; a client qualifies only once it carries every flag of `written`
/// (outcomeLogged, recordWritten). The server thread asks for those of the
/// files it has open: a client that reached Closed after the cycle's
/// outcomes were written then waits for the next Clear instead of leaving
/// a file without its line.
void SKAVDReapClients(uint32_t written);

/// Same for the Closed clients whose outcome is `outcome`: with kError a
/// failed board, reworked and seated again, is served anew when it asks.
/// Returns how many went; `macs`, when given, gets their MACs as the panel
/// writes them, joined by ", ".
int SKAVDReapClients(uint32_t written, Outcome outcome, std::string* macs = nullptr);

/// Stamps clients newly seen Closed with `nowMs`, then ends and deletes
/// those stamped at least `afterMs` ago, Done and Error alike, that carry
/// every flag of `written`. True when any was removed.
bool SKAVDForgetClients(int64_t nowMs, int64_t afterMs, uint32_t written);

/// At a stop, before the clients end: marks every client not yet Closed
/// (nor logged) interruptedByStop, or closingAtStop when it is Closing,
/// and prints a line for each to `log`.
void SKAVDMarkUnfinished(LogSink* log);

/// Posts WM_QUIT to every client and waits for each; then deletes them, or
/// with `keepRecords` keeps their records as finished ones (their outcome
/// is final once SKAVDMarkUnfinished has run) for the run that resumes a
/// run cut off by a lost port: the panel, the progress views, Clear and
/// Retry Failed go on with them.
void SKAVDEndAllClients(bool keepRecords = false);

/// Deletes every client; their threads must have ended (or never run).
/// The front end's thread may call it while no server thread runs.
void SKAVDDeleteAllClients();

/// Tells the server thread that `client` has exited (wakes its wait).
void SKAVDNotifyExit(CClientThread& client);

/// Called on a client's thread as its last act (it reached Closed, or was
/// ended): the server thread joins it in its next cycle.
void SKAVDNoteThreadEnded();

/// Says how many CONF-REQ of new devices were turned away at the ceiling
/// of `ceiling` clients not yet Closed since it last said so, at most once
/// a second; nothing when none were. Server thread, once a cycle.
void SKAVDReportTurnedAway(LogSink* log, int32_t ceiling);

/// Joins the threads of clients that have ended on their own since the
/// last call, which gives back their stacks; the records stay. Called by
/// the server thread once a cycle; waits for no work, only for exits
/// already under way.
void SKAVDJoinEndedClients();
