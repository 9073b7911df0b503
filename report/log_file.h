// The optional log file: banners and one outcome line per finished device,
// every write, flush, close and replacement under gLogLock.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

struct DeviceRecord;

/// Serialises every write, flush, close and replacement of the log file.
extern std::mutex gLogLock;

/// The open log file or none; `fp` is read and written only under gLogLock.
struct LogFile {
  FILE* fp = nullptr;
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

/// Writes one line per client not yet outcomeLogged that is Closed or that
/// a stop left unfinished (interrupted: always Error), and marks it.
/// 0 when no file is open, else 1.
int LogFileOutcomes(LogFile& file, DeviceRecord* list);

/// Closes the open file (if any) and opens `path` for appending, with the
/// operator's messages on failure. true when a file is open afterwards.
bool OpenLogFile(LogFile& file, const std::string& path);

/// Closes the open file, if any.
void CloseLogFile(LogFile& file);
