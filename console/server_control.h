// Start and Stop of the server, shared by the window and the headless
// runner: opening the interface, setting the server address, loading the
// images, running the server thread, and undoing all of it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "report/debug_print.h"
#include "link/if_claim.h"
#include "link/if_list.h"
#include "link/l2_if.h"
#include "link/port_manager.h"
#include "protocol/server_thread.h"
#include "report/outcome_writer.h"
#include "transfer/upload_images.h"

/// What Start reads from the front end's controls.
struct StartRequest {
  std::string firmwarePath;
  std::string stringTablePaths[6];  ///< table 1 first
  const L2_IfList* interfaces = nullptr;
  /// Selected item of the interface list, -1 when none. With several
  /// interfaces item 0 is "Select one..." and item i + 1 is entry i.
  int interfaceItem = -1;
  int32_t regionCode = 0;  ///< 0 when no region is chosen
  /// The most clients not yet Closed at once; 0: no ceiling.
  int32_t maxLiveClients = kDefaultMaxLiveClients;
  void* owner = nullptr;
  const LogSlot* logSlot = nullptr;  ///< the Debug Window slot
  /// The run resumes one a lost port cut off (RequestStop(true)): the
  /// devices of that run stay on the panel and the progress views, with
  /// their outcomes, until Clear or Retry Failed.
  bool resume = false;
};

/// Loads the firmware and string tables `request` names into `images` (as
/// Start does), with the operator's messages on failure. On false, what
/// did load stays in `images` for the caller to free.
bool LoadRequestImages(const StartRequest& request, UploadImages& images);

/// The link operations Start uses; tests put in-memory ones in their place.
struct LinkOps {
  std::function<L2_If*(const char* name, const char* description, char* errorText)> open =
      L2_Open;
  std::function<int(const char* description, const char* addr, const char* mask)>
      setIfAddr = L2_SetIfAddr;
  /// Plain-words reason of the last failed setIfAddr, keepIfAddr or
  /// takeUp on this thread.
  std::function<const char*()> ifAddrError = L2_LastIfAddrError;
  /// After a setIfAddr that succeeded: whether it found the address on the
  /// port, put there by another program, and uses it as it is.
  std::function<bool()> ifAddrFound = L2_IfAddrFound;
  /// Takes the named port up when it is down: 0 up already, 1 taken up, -1
  /// refused. Fakes of `open` answer 0.
  std::function<int(const char* name)> takeUp = L2_TakeIfUp;
  /// Puts the server address back when it is gone: 0 there, 1 put back, -1
  /// refused.
  std::function<int(const char* description, const char* addr, const char* mask)>
      keepIfAddr = L2_KeepIfAddr;
  /// Whether the opened link's port has left the machine (pulled, deleted).
  std::function<bool(const L2_If* link, const char* name)> ifGone = L2_IfGone;
  /// Whether the named port can carry frames (a carrier, up). Fakes of
  /// `open` answer true.
  std::function<bool(const char* name)> hasLink = L2_IfHasLink;
};

/// Owns the server thread, the opened link and the loaded images of one run
/// of `ctx`, which the front end owns (with its log file, status text and
/// panel state). Used from the front end's thread only.
class ServerControl {
 public:
  explicit ServerControl(SKAVDContext& ctx, LinkOps ops = {});
  /// Stops a running server and forgets the clients a stop kept.
  ~ServerControl();
  ServerControl(const ServerControl&) = delete;
  ServerControl& operator=(const ServerControl&) = delete;

  /// The start sequence. On success the server thread runs, "SKAV Server
  /// starts running (region: %d)..." has been printed and true is returned.
  /// On failure the operator has seen why, "SKAV Server is stopped." has
  /// been printed, everything opened or loaded is released, and false is
  /// returned. Does nothing and returns true while the server runs.
  bool Start(const StartRequest& request);

  /// The whole stop sequence: RequestStop, WaitForServerThread without a
  /// limit, FinishStop. Blocks until every client thread has ended.
  void Stop(bool keepClients = false);

  /// First half of Stop: running = 0 and the receive wait broken, so the
  /// server thread ends within one cycle. Returns at once. `keepClients`:
  /// the run is to resume (its port went), and keeps its clients' records
  /// for that run (see StartRequest::resume).
  void RequestStop(bool keepClients = false);
  /// `hook` runs as a stop of a running server begins, before the server
  /// thread is told to end: its last words about the run come before the
  /// run's last lines. Empty: none.
  void SetBeforeStop(std::function<void()> hook) { beforeStop_ = std::move(hook); }
  /// Waits at most `ms` milliseconds (-1: no limit) for the server thread
  /// to end. True when it has ended or none runs.
  bool WaitForServerThread(int ms);
  /// Second half of Stop, after the thread has ended: joins it, gives the
  /// outcome writer at most 3 s for the last lines (never more, however
  /// stuck a file system is), frees the images, closes the link and gives
  /// the interface's claim back.
  void FinishStop();

  /// After a stop: the lines that could not be written to the log file or
  /// the record within the stop's grace (each with the file it is meant
  /// for), for the operator to see in full; empty when every line was
  /// written. They stay held for their files all the same.
  std::string TakeUnwrittenOutcomes();

  /// True from a successful Start until RequestStop.
  bool Running() const;
  /// The opened link, nullptr when none.
  L2_If* Link() const { return link_; }
  /// The capture device the last Start chose (kept after the stop), empty
  /// before any.
  const std::string& InterfaceName() const { return ifName_; }

  /// While running: true when the run's port has left the machine.
  bool PortGone() const;
  /// While running: false while the run's port has no link.
  bool HasLink() const;
  /// While running: puts the server address back when another program
  /// removed it. 0 it was there, 1 put back, -1 refused (see
  /// KeepAddressError()).
  int KeepAddress();
  const char* KeepAddressError() const;
  /// The network manager that managed the port at the last Start.
  const L2_PortManagerFacts& PortManager() const { return manager_; }
  /// Appends `line` (with its "\r\n") to the run's Debug Window.
  void Print(const std::string& line) const;

 private:
  bool Fail(const StartRequest& request);

  SKAVDContext& ctx_;
  LinkOps ops_;
  L2_If* link_ = nullptr;
  std::string ifName_;
  std::string ifDescription_;
  L2_PortManagerFacts manager_;
  std::function<void()> beforeStop_;
  L2_IfClaim claim_;  // held from before the link opens until after it closes
  OutcomeWriter writer_;
  std::string unwritten_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable endedCv_;
  bool ended_ = true;
};
