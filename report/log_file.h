// The optional log file: banners and one outcome line per finished device,
// every write, flush, close and replacement under gLogLock.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "report/held_lines.h"

struct DeviceRecord;
class LogSink;

/// Serialises every write, flush, close and replacement of the log file.
extern std::mutex gLogLock;

/// The open log file or none; every field is read and written only under
/// gLogLock.
struct LogFile {
  FILE* fp = nullptr;
  std::string path;      ///< of the open file, for messages
  HeldLines held;        ///< outcome lines not yet in the file
  bool failing = false;  ///< the last write failed (said once)
};

enum BannerKind : int {
  BANNER_REWORK_START = 0,
  BANNER_SUPERVISOR_LOGIN = 1,
  BANNER_SUPERVISOR_LOGOUT = 2,
};

/// True while a file is open (read under gLogLock).
bool LogFileIsOpen(LogFile& file);

/// 1 when written; 0 when no file is open, the kind is unknown or the
/// write failed.
int LogFileBanner(LogFile& file, int kind);

/// Holds one line per client whose outcome is final (ClientOutcome) and
/// not yet outcomeLogged, and marks it; the lines go to the file with
/// LogFileWriteHeld. 0 when no file is open, else 1.
int LogFileOutcomes(LogFile& file, DeviceRecord* list);

/// Writes the held lines to the open file (none open: they wait for the
/// next), then makes them durable (fdatasync). A failure is said once in
/// the Debug Window (`log`) and the lines stay held. True when nothing is
/// held any more.
bool LogFileWriteHeld(LogFile& file, LogSink* log);

/// Closes the open file (if any) and opens `path` for appending, with the
/// operator's messages on failure. true when a file is open afterwards.
bool OpenLogFile(LogFile& file, const std::string& path);

/// Closes the open file, if any.
void CloseLogFile(LogFile& file);
