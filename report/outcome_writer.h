// The thread that takes held lines to the log file and the record, so that
// a full disk, a share mounted late or a file system that does not answer
// never holds up the server loop, the window or a stop: the server thread
// and the front end only hand lines over.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "report/debug_print.h"

struct LogFile;
struct RecordFile;

class OutcomeWriter {
 public:
  /// The files it writes (owned by the front end).
  OutcomeWriter(LogFile& log, RecordFile& record) : log_(log), record_(record) {}
  /// End with a short bound.
  ~OutcomeWriter();
  OutcomeWriter(const OutcomeWriter&) = delete;
  OutcomeWriter& operator=(const OutcomeWriter&) = delete;

  /// Starts the thread when it does not run and makes it the writer of
  /// both files. false when no thread could be had: whoever holds a line
  /// then writes it.
  bool Start();

  /// Its messages go to the Debug Window of `slot` (none: nowhere).
  void SetSlot(const LogSlot* slot);

  /// Lines were handed over: write them now. Callable from any thread that
  /// holds no gLogLock.
  void Wake();

  /// Waits at most `ms` milliseconds for every line held, and every line
  /// handed over meanwhile, to be written. True when none is held; what is
  /// left stays held (see CopyUnwritten). The thread goes on.
  bool Drain(int ms);

  /// Ends the thread. A write round in progress gets at most `ms`
  /// milliseconds; a thread still in it then (in the kernel, on a file
  /// system that does not answer) is given up, not waited for: it touches
  /// neither file, says nothing and writes nothing more, and ends when the
  /// kernel lets it.
  void End(int ms);

 private:
  struct State;  // shared with the thread, which may outlive this object
  static void Run(const std::shared_ptr<State>& s, LogFile* log, RecordFile* record);

  LogFile& log_;
  RecordFile& record_;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

/// A copy of the lines still held for `log` and `record`, as text for the
/// operator: for each, the file it is meant for and the line itself. Empty
/// when every line was written. The lines stay held: a file that takes
/// them later still gets them.
std::string CopyUnwritten(LogFile& log, RecordFile& record);
