// The thread that takes outcome lines to the log file and the record, so
// that a full disk, a share mounted late or a slow file system never holds
// up the server loop: the server thread only hands lines over.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "report/debug_print.h"

struct LogFile;
struct RecordFile;

class OutcomeWriter {
 public:
  /// The files of a run (owned by the front end, which outlives the run).
  OutcomeWriter(LogFile& log, RecordFile& record) : log_(log), record_(record) {}
  ~OutcomeWriter() { Finish(0); }
  OutcomeWriter(const OutcomeWriter&) = delete;
  OutcomeWriter& operator=(const OutcomeWriter&) = delete;

  /// Starts the thread; its messages go to the Debug Window of `slot`.
  /// false when no thread could be had (the caller writes itself).
  bool Start(const LogSlot* slot);

  /// Lines were handed over: write them now. Callable from any thread.
  void Wake();

  /// Gives the thread at most `ms` milliseconds to write what is held,
  /// then ends it. What it could not write stays held (see TakeUnwritten).
  void Finish(int ms);

 private:
  void Run();
  bool WriteRound();

  LogFile& log_;
  RecordFile& record_;
  const LogSlot* slot_ = nullptr;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  unsigned handed_ = 0;     // hand-overs so far
  unsigned served_ = 0;     // the hand-overs the last round took
  bool quit_ = false;
  bool clear_ = true;       // nothing held after the last round
};

/// The outcome lines still held for `log` and `record`, taken out of them,
/// as text for the operator: for each, the file it was meant for and the
/// line itself. Empty when every line was written.
std::string TakeUnwritten(LogFile& log, RecordFile& record);
