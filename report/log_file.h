// The optional log file: banners and one outcome line per finished device,
// held and written like the record's lines; and gLogLock, which guards both.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "report/held_lines.h"

struct DeviceRecord;
class LogSink;

/// Guards the log file's and the record's fields (path, descriptor, held
/// lines) between the front end, the server thread and the outcome writer.
/// No file is ever opened, written, flushed, synced or closed under it.
extern std::mutex gLogLock;

/// The log file, kept by its path while "Enable Log:" is checked: banners
/// and outcome lines, CR LF line ends.
struct LogFile : LineFile {
  LogFile() : LineFile("\r\n", "log file") {}
};

enum BannerKind : int {
  BANNER_REWORK_START = 0,
  BANNER_SUPERVISOR_LOGIN = 1,
  BANNER_SUPERVISOR_LOGOUT = 2,
};

/// True while a file is kept (a path is set), open or not yet.
bool LineFileIsKept(const LineFile& file);

/// Holds the banner of `kind` for the file, after the lines already held,
/// and hands it to the file's writer (none: writes it at once). 1 when
/// held (it reaches the file once the file takes it); 0 when no file is
/// kept or the kind is unknown.
int LogFileBanner(LogFile& file, int kind);

/// Holds a line of what an operator did or was told ("[Dec  6 07:51:27
/// 2026] TEXT", the outcome lines' stamp; `text` one line without its
/// end) and hands it to the file's writer, as LogFileBanner does. 1 when
/// held; 0 when no file is kept.
int LogFileNote(LogFile& file, const std::string& text);

/// Holds one line per client whose outcome is final (ClientOutcome) and
/// not yet outcomeLogged, and marks it, while fewer than `bound` lines are
/// held; the lines go to the file with the file's writer. 0 when no file is
/// kept, else 1.
int LogFileOutcomes(LogFile& file, DeviceRecord* list, size_t bound = kMaxHeldLines);

/// One write round of `file` (WriteHeldRound). A failure is said once, as
/// the Debug Window line returned in `say` (empty: nothing to say), for the
/// caller to print. True when nothing is left to try.
bool LineFileRound(LineFile& file, const std::atomic<bool>* givenUp, std::string* say);

/// LineFileRound, its failure printed to `log`.
bool LineFileWriteHeld(LineFile& file, LogSink* log);

/// Lines were held for `file`: its writer is woken, or with none the
/// caller writes them now (failures to `log`). False only when written here
/// and some are left.
bool LineFileHeld(LineFile& file, LogSink* log);

/// Forgets the open file (if any) and opens `path` for appending, with the
/// operator's messages on failure; a path that cannot be opened is kept
/// all the same, and its lines held until it can be. true when a file is
/// open afterwards.
bool OpenLogFile(LogFile& file, const std::string& path);

/// Closes the open file, if any, and keeps none: no more lines are held.
void CloseLogFile(LogFile& file);
