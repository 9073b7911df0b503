// The run of an engine that a window started for itself: everything the
// window's Start, Stop, log-file controls and close did in its own process,
// now driven by the window's verbs over the socket pair. When the window
// goes (its socket closes) or the session ends (a signal), the run stops as
// the window's close stopped it, every outcome written, and the engine
// ends.
#pragma once

#include <functional>
#include <string>

#include "console/run_supervisor.h"
#include "console/server_control.h"
#include "engine/front_hub.h"
#include "link/if_list.h"
#include "protocol/server_thread.h"
#include "report/status_panel.h"

/// Where a run finds its interfaces and opens its link; tests put
/// in-memory ones in their place.
struct OwnRunOptions {
  std::function<int(L2_IfList*)> listInterfaces = L2_ListIf;
  LinkOps linkOps;
};

class OwnRun : public RunFront {
 public:
  /// Watches the run through `hub`, which must not be started yet.
  explicit OwnRun(FrontHub& hub, OwnRunOptions options = {});
  /// Stops a run still going.
  ~OwnRun() override;
  OwnRun(const OwnRun&) = delete;
  OwnRun& operator=(const OwnRun&) = delete;

  /// Serves the window until it goes or one of the signals of `signalFd`
  /// comes; then closes. Returns the exit status.
  int Serve(int signalFd);

  // RunFront: the supervisor's start and stop, and its news.
  /// After a port that went is back: the run resumes with its clients;
  /// what stops it goes to the Debug Window.
  bool StartRun() override;
  /// The port went: the run stops, its clients kept for the resumption.
  void StopRun() override { StopServer(true); }
  void Tell(PortNews news, const std::string& text) override;

 private:
  void Do(const FrontRequest& r);
  bool StartServer(bool resume = false);
  void StopServer(bool keepClients = false);
  /// The log file as the window's controls hold it.
  void MatchLogFile(bool enabled, const std::string& path);
  void Publish();
  void Close();

  FrontHub& hub_;
  std::function<int(L2_IfList*)> listInterfaces_;
  L2_IfList ifList_;
  SKAVDContext ctx_;
  StatusText statusText_;
  LogSlot slot_{nullptr};
  ServerControl server_;
  RunSupervisor supervisor_;
  remote::StartOrder order_;  // the last Start, for a start after a port came back
};
