// The server as the window runs it, in-process: ServerControl with the
// real capture and address set-up on the namespace's interface, the status
// panel with a mirror that applies its edits, a log file, and the audit as
// the Debug Window. Driven from one thread, the front end's.
#pragma once

#include <mutex>
#include <string>

#include "console/server_control.h"
#include "report/status_panel.h"
#include "link/if_list.h"
#include "protocol/server_thread.h"
#include "soak/line_audit.h"

namespace soak {

/// What the window's view of the panel does: applies every edit to its
/// own copy of the text.
class PanelMirror : public StatusEditListener {
 public:
  void OnEdit(int pos, int count, const std::string& text) override;
  std::string Text() const;
  /// Edits that did not fit the mirrored text (position or count out of
  /// range): each one a lost or misplaced edit.
  int BadEdits() const;

 private:
  mutable std::mutex mu_;
  std::string text_;
  int badEdits_ = 0;
};

/// How long one Stop took, in milliseconds from RequestStop.
struct StopTiming {
  double firstClientEndedMs = -1;  ///< first drop of the thread count
  double threadEndedMs = 0;        ///< the server thread has returned
  double finishedMs = 0;           ///< joined, images freed, link closed
  int threadsBefore = 0;           ///< threads just before RequestStop
};

struct ImagePaths {
  std::string firmware;
  std::string stringTables[6];
};

class SoakServer {
 public:
  /// `ifName` is the interface of the namespace the calling thread is in.
  SoakServer(const std::string& ifName, LineAudit& audit);
  ~SoakServer();
  SoakServer(const SoakServer&) = delete;
  SoakServer& operator=(const SoakServer&) = delete;

  /// Opens the log file (before the first Start). false when it cannot.
  bool OpenLog(const std::string& path);
  /// Start as the window presses it; run `run` in the audit.
  bool Start(int run, const ImagePaths& images, int region);
  /// Stop as the window presses it, timed; the thread count is sampled
  /// while the server thread ends its clients.
  StopTiming Stop();
  bool Running() const { return control_.Running(); }

  /// The buttons: each stores its request and wakes the loop.
  void PressClear();
  void PressSort(int32_t id);

  /// True when the mirror holds exactly the panel's text (read after a
  /// Stop, when the server thread no longer edits it).
  bool PanelMatches() const;
  const PanelMirror& mirror() const { return mirror_; }
  SKAVDContext& context() { return ctx_; }

 private:
  LineAudit& audit_;
  L2_IfList interfaces_;
  LogSlot slot_{nullptr};
  StatusText status_;
  PanelMirror mirror_;
  SKAVDContext ctx_;
  ServerControl control_;
};

}  // namespace soak
