// The soak's Debug Window: it keeps no text, but follows every client
// through its lines as they arrive and records what breaks the rules a
// reader of the window relies on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "report/debug_print.h"

namespace soak {

/// A MAC as a number (first byte highest), the key used throughout.
using MacKey = uint64_t;
/// "xx-xx-xx-xx-xx-xx" (either case) to its key; false when it is not one.
bool ParseMacText(const char* text, MacKey* key);
/// The key as the log file writes it: upper case.
std::string MacUpper(MacKey key);

/// Milliseconds of the monotonic clock.
int64_t NowMs();

/// One client, from its "New client" line to its exit report.
struct ClientLife {
  int64_t createdMs = 0;
  int64_t exitMs = -1;           ///< -1: no exit report yet
  std::string exitText;          ///< behind "exits. "
  bool falseCreation = false;
  bool fwDone = false;           ///< exit report says "FW Upgrade: Done"
  int transfers = 0;             ///< "start TFTP uploading" lines
  int uploadsDone = 0;           ///< "TFTP uploading done" lines
  pid_t tid = 0;                 ///< the thread of its "[mac]" lines
};

/// Checked rules:
///  - each text handed over is whole lines (ends with "\r\n");
///  - a MAC's "[mac]" lines appear only after its "New client" line, and
///    all of one client's lines come from one thread;
///  - a client reports an upload done only after starting one;
///  - a client writes one exit report, and sends nothing after it;
///  - a MAC gets a second client in one run only after the first one's
///    exit report, only when that one was Done (or a false creation), and
///    only after a Clear pressed no earlier than a cycle before the exit;
///  - nothing is written while the server is stopped.
class LineAudit : public LogSink {
 public:
  void Append(const char* text, size_t len) override;

  /// The front end is about to start run `run` (numbered from 1).
  void BeginRun(int run);
  /// The stop sequence has finished: from now on no thread may write.
  void EndRun();
  /// The front end pressed Clear.
  void MarkClear();

  /// The clients of `run` by MAC, in creation order.
  std::map<MacKey, std::vector<ClientLife>> Clients(int run) const;
  /// Count of lines in `run` that contain `phrase`, for the phrases given
  /// to Watch before the run.
  int Watched(int run, int index) const;
  /// Watches `phrase`; returns its index.
  int Watch(const std::string& phrase);

  std::vector<std::string> Violations() const;
  int ViolationCount() const;
  /// "[Error] " lines by text (digits kept), over all runs.
  std::map<std::string, int> ErrorLines() const;
  long Lines() const;

 private:
  void Violation(const std::string& what);
  ClientLife* Current(MacKey mac);

  mutable std::mutex mu_;
  int run_ = 0;
  bool stopped_ = true;
  std::vector<int64_t> clears_;
  std::map<int, std::map<MacKey, std::vector<ClientLife>>> runs_;
  std::vector<std::string> phrases_;
  std::map<int, std::vector<int>> watched_;
  std::map<std::string, int> errors_;
  std::vector<std::string> violations_;
  int violationCount_ = 0;
  long lines_ = 0;
};

}  // namespace soak
