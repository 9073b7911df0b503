// When a client thread may poll its queue before it sleeps: the slots shared
// by every thread of the process, the count of messages queued anywhere and
// of transfers in flight, and whether the machine has a core to spare.
#pragma once

#include <chrono>
#include <cstddef>

namespace poll_budget {

/// How long a thread that expects a message soon polls before it sleeps. A
/// sleeping thread's wake-up (the poster's futex call, the scheduler
/// bringing it back) is most of a hand-over; a TFTP block's ACK comes back
/// some 20-40 us after its DATA.
constexpr auto kPollTime = std::chrono::microseconds(50);

/// Takes a polling slot: false when the machine has no spare core, when
/// more transfers are in flight than cores online less one, or when as
/// many threads poll as that. A true must be followed by GiveSlot.
bool TakeSlot();
/// Gives back the slot of TakeSlot.
void GiveSlot();

/// A message was queued for some thread.
void Queued();
/// `n` queued messages were taken (or dropped with their queue).
void Taken(size_t n);
/// Whether any thread of the process has a message waiting: then a poll
/// should not begin, and one under way should end, leaving the core to the
/// thread that has work.
bool WorkQueued();
/// A thread begins (true) or stops (false) expecting messages soon: a
/// transfer in flight.
void InFlight(bool begins);

/// A pause instruction for the poll's loop.
void CpuRelax();

}  // namespace poll_budget

/// Test hook: true makes TakeSlot ignore the machine's load and the
/// transfers in flight (the slots are still counted); false: as in service.
void MsgThreadPollOnBusyMachineForTest(bool always);
