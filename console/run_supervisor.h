// What a run needs on a real bench PC with nobody watching the port: its
// server address kept when another program removes it, a stop with every
// outcome written when the port leaves the machine, and a new start once
// a port of that name is back. Shared by the window and the headless
// runner, which only present what it says.
#pragma once

#include <cstdint>
#include <string>

#include "console/server_control.h"
#include "link/addr_events.h"

/// What the supervisor tells its front end about the run's port.
enum class PortNews {
  kWaiting,  ///< the port is not there; the run starts when it appears
  kGone,     ///< the port left the machine; the run has been stopped
  kBack,     ///< the port is back; the run starts again
  kNoLink,   ///< the running port has lost its link (cable, other end off)
  kLinkBack, ///< the running port has its link again
};

/// The front end's side: its own start and stop, and its way of saying.
class RunFront {
 public:
  virtual ~RunFront() = default;
  /// Starts the run from the front end's settings (as its Start does);
  /// false after the operator has been told why.
  virtual bool StartRun() = 0;
  /// Stops the run as the operator's Stop does, every outcome written, for
  /// a port that went: the clients' records are kept (RequestStop(true)),
  /// and the StartRun that follows once the port is back resumes the run
  /// with them (StartRequest::resume).
  virtual void StopRun() = 0;
  /// `text` is one sentence without a line end, beginning in lower case.
  virtual void Tell(PortNews news, const std::string& text) = 0;
};

class RunSupervisor {
 public:
  RunSupervisor(ServerControl& server, RunFront& front);
  ~RunSupervisor();
  RunSupervisor(const RunSupervisor&) = delete;
  RunSupervisor& operator=(const RunSupervisor&) = delete;

  /// The run's port `name` is not there: tells kWaiting and starts the run
  /// once it appears.
  void AwaitPort(const std::string& name);
  /// No more waiting: the operator took over, or new settings name another.
  void StopWaiting() { awaited_.clear(); }
  bool Waiting() const { return !awaited_.empty(); }
  /// The port awaited; empty when none.
  const std::string& Awaited() const { return awaited_; }

  /// Call at least twice a second, and at once when WatchFd() is readable;
  /// also from inside a tick (a message box runs the event loop), where it
  /// only reads the events.
  void Tick();
  /// Readable when an address of this namespace was removed; -1 when the
  /// kernel's events cannot be had (Tick then looks every time).
  int WatchFd() const { return events_.fd(); }

 private:
  void KeepAddress(int64_t now);
  void NotePutBack(int64_t now, int64_t removedAt);
  void SayPutBacks(int64_t now);
  void Say(int64_t now);
  void RunStops();
  void WatchLink();

  ServerControl& server_;
  RunFront& front_;
  L2_AddrEvents events_;
  std::string awaited_;
  int64_t nextTryMs_ = 0;      // a failed start on a port that is back waits
  int64_t lastLookMs_ = 0;     // the address is looked at without an event too
  int64_t lastLineMs_ = -1;    // the last put-back or refusal line
  int unsaid_ = 0;             // put-backs since that line
  bool ticking_ = false;       // a start's message box runs the event loop
  int64_t removedAtMs_ = -1;   // the first removal event not yet looked into
  int64_t lastPutBackMs_ = -1;
  int64_t pauseMs_ = 0;        // after the last put-back, before the next
  bool held_ = false;          // another program holds the port, and was said to
  bool noLink_ = false;        // the running port's missing link was said
};
