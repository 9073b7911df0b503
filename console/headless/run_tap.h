// What a headless run shows beside its own output, and the requests it
// takes, for a bench's front ends: the engine puts a tap on the run, which
// sees every line, message and panel edit the run makes and carries out
// what the front ends ask on the run's own thread.
#pragma once

#include <string>

#include "console/run_supervisor.h"
#include "protocol/server_thread.h"
#include "report/debug_print.h"
#include "report/status_panel.h"

/// Where the run stands, told by the run at each wake-up of its loop.
struct RunFacts {
  bool running = false;
  /// The port the run awaits by name; empty when it awaits none.
  std::string awaited;
  /// The port the run serves, or served last; empty before any start.
  std::string port;
};

/// What a front end may ask of a headless run, each carried out on the
/// run's thread as the signal or button it stands for.
class RunRequests {
 public:
  virtual ~RunRequests() = default;
  virtual void Clear() = 0;
  virtual void Sort(int32_t key) = 0;
  virtual void RetryFailed() = 0;
  /// Stops the run (every outcome written); the program goes on.
  virtual void Stop() = 0;
  /// Starts from the settings; false after the messages that say why.
  virtual bool StartFromSettings() = 0;
  /// What SIGHUP does; false only when the new start failed.
  virtual bool Reload() = 0;
};

class RunTap {
 public:
  virtual ~RunTap() = default;

  // Once, while the run is made: the sinks it puts in place of its own,
  // which pass everything on to `own` as well, and its context.
  virtual LogSink* TeeLog(LogSink* own) = 0;
  virtual StatusEditListener* TeePanel(StatusEditListener* own) = 0;
  virtual ErrorSink* TeeErrors(ErrorSink* own) = 0;
  virtual void Wire(SKAVDContext& ctx) = 0;
  /// As the run is taken down: its context is touched no more once this
  /// returns.
  virtual void Unwire() = 0;

  // The run's thread.
  virtual void Facts(const RunFacts& facts) = 0;
  /// A stop begins (it may take a while: every client ends first).
  virtual void Stopping() = 0;
  virtual void Told(PortNews news, const std::string& text) = 0;
  /// The outcome lines a stop could not write to their files.
  virtual void Unwritten(const std::string& text) = 0;
  /// Readable while requests wait.
  virtual int RequestFd() const = 0;
  /// Carries out the requests that wait. False when one of them ended the
  /// program's run for good (a reload whose start failed, as SIGHUP).
  virtual bool Serve(RunRequests& run) = 0;
};
