// The server thread: advertises twice a second, receives frames, hands
// them to client threads, refreshes the status panel, ends the clients.
#pragma once

#include <atomic>
#include <cstdint>

#include "report/debug_print.h"
#include "report/device_record_file.h"
#include "report/image_facts.h"
#include "report/progress_board.h"
#include "report/log_file.h"
#include "report/run_counters.h"
#include "report/status_panel.h"
#include "link/l2_if.h"
#include "transfer/upload_images.h"

/// The default ceiling on clients not yet Closed. Each holds a thread, and
/// threads count against the whole machine's process limit: far above a
/// bench's real crowd (a few hundred devices on a switch), far below the
/// kernel's default pid_max of 32768 and the 15 % of it that systemd gives
/// a service by default.
constexpr int32_t kDefaultMaxLiveClients = 4096;

/// Shared by the window (or the headless runner) and the server thread for
/// a whole run. The front end fills it before the thread starts.
struct SKAVDContext {
  void* owner = nullptr;             ///< the front end that started the run
  const LogSlot* logSlot = nullptr;  ///< the Debug Window slot
  L2_If* link = nullptr;
  int32_t regionCode = 0;
  UploadImages images;
  /// Name, file, size and SHA-256 of each image, filled with `images`.
  ImageFacts imageFacts[kImageCount];
  StatusText* statusCtl = nullptr;
  PanelState panel;
  /// Guarded by gLogLock; each names the writer that takes its held
  /// lines out (none: the server thread writes them itself).
  LogFile logFile;
  RecordFile recordFile;
  /// Host, interface and version named in every record line; set at Start.
  RecordServer recordServer;
  std::atomic<int32_t> running{0};
  /// A Closed client whose outcome has been written is removed this long
  /// after it closed, so that the device is served again when it comes
  /// back; 0: never (it stays until Clear or Stop). Set before the start.
  int64_t forgetAfterMs = 0;
  /// The clients as readers on other threads see them (published once a
  /// cycle while `progress.wanted`).
  ProgressBoard progress;
  /// The most clients not yet Closed at once (each holds a thread); a new
  /// device beyond it is turned away. 0: no ceiling. Set before the start.
  int32_t maxLiveClients = kDefaultMaxLiveClients;
  /// Outcomes, bytes, resends, refused clients and cycles of every run of
  /// this context, kept by the server thread; never reset.
  RunCounters counters;
  /// Set before `running` goes to 0: the run ends keeping its clients'
  /// records (a lost port; the run resumes when it is back).
  std::atomic<bool> keepClients{false};
  /// Set before the start: this run resumes one that kept its clients, so
  /// the panel and the progress views go on with them.
  bool resume = false;
};

/// The thread function; returns 0 once `running` was seen 0 and every
/// client thread has ended.
int SKAVDServerThread(SKAVDContext* ctx);

/// The L2_RxHandler function; `context` is the SKAVDContext.
int SKAVDRxFrame(void* context, const L2_Frame& frame);
