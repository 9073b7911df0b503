// The log file: start and supervisor banners and one outcome line per
// finished device, CR LF line ends, held until its writer takes them out.
#include "report/log_file.h"

#include <cstring>
#include <ctime>

#include "report/debug_print.h"
#include "report/device_record.h"
#include "report/outcome_writer.h"

std::mutex gLogLock;

namespace {

// asctime's layout, "Sun Dec  6 07:51:27 2026", from fixed English names:
// strftime would follow the process locale, which a GUI front end takes
// from the environment, and asctime itself shares one static buffer
// between threads.
void AscTimeNow(char (&out)[32]) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed",
                                   "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr",
                                      "May", "Jun", "Jul", "Aug",
                                      "Sep", "Oct", "Nov", "Dec"};
  time_t now = std::time(nullptr);
  struct tm tm {};
  if (localtime_r(&now, &tm) == nullptr) gmtime_r(&now, &tm);
  // Clamped so that the stamp keeps its 24 characters whatever the clock.
  int year = tm.tm_year + 1900;
  if (year < 0) year = 0;
  if (year > 9999) year = 9999;
  std::snprintf(out, sizeof out, "%s %s%3d %02d:%02d:%02d %04d",
                kDays[(tm.tm_wday % 7 + 7) % 7],
                kMonths[(tm.tm_mon % 12 + 12) % 12], tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, year);
}

}  // namespace

int LogFileBanner(LogFile& file, int kind) {
  if (kind < BANNER_REWORK_START || kind > BANNER_SUPERVISOR_LOGOUT) return 0;
  char stamp[32];
  AscTimeNow(stamp);
  char line[128];
  // Each line feed of a format is stored as CR LF, as a text-mode stream
  // would store it, so that log files match across platforms.
  switch (kind) {
    case BANNER_REWORK_START:
      std::snprintf(line, sizeof line,
                    "\r\n########## [%s] Firmware Reworking starts ##########\r\n", stamp);
      break;
    case BANNER_SUPERVISOR_LOGIN:
      std::snprintf(line, sizeof line,
                    "########## [%s] Supervisor Logs in        ##########\r\n", stamp);
      break;
    default:
      std::snprintf(line, sizeof line,
                    "########## [%s] Supervisor Logs out       ##########\r\n", stamp);
      break;
  }
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    if (file.path.empty()) return 0;
    file.held.lines.emplace_back(line);
  }
  // Held, it reaches the file once the file takes it, written here or not.
  LineFileHeld(file, nullptr);
  return 1;
}

int LogFileNote(LogFile& file, const std::string& text) {
  char stamp[32];
  AscTimeNow(stamp);
  // The outcome lines' 20-character stamp, without the weekday.
  std::string line = std::string("[") + (stamp + 4) + "] " + text + "\r\n";
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    if (file.path.empty()) return 0;
    file.held.lines.push_back(std::move(line));
  }
  LineFileHeld(file, nullptr);
  return 1;
}

int LogFileOutcomes(LogFile& file, DeviceRecord* list, size_t bound) {
  std::lock_guard<std::mutex> lock(gLogLock);
  if (file.path.empty()) return 0;
  for (DeviceRecord* c = list; c != nullptr; c = c->next) {
    if (c->HasFlag(outcomeLogged)) continue;
    const Outcome outcome = ClientOutcome(*c);
    if (outcome == Outcome::kReworking) continue;
    // Past the bound the device keeps its record, unmarked, until lines
    // have gone out.
    if (file.held.lines.size() >= bound) break;
    char stamp[32];
    AscTimeNow(stamp);
    const uint8_t* m = c->mac;
    char line[96];
    // The 20-character form leaves out the weekday and its blank.
    std::snprintf(line, sizeof line, "[%s] %02X-%02X-%02X-%02X-%02X-%02X: %s\r\n", stamp + 4,
                  m[0], m[1], m[2], m[3], m[4], m[5],
                  outcome == Outcome::kDone ? "Done    " : "Error   ");
    file.held.lines.emplace_back(line);
    c->SetFlag(outcomeLogged);
  }
  return 1;
}

bool LineFileRound(LineFile& file, const std::atomic<bool>* givenUp, std::string* say) {
  std::string why;
  const bool clear = WriteHeldRound(file, gLogLock, givenUp, &why);
  std::lock_guard<std::mutex> lock(gLogLock);
  if (givenUp != nullptr && givenUp->load(std::memory_order_relaxed)) return clear;
  // Said once until it works again.
  const bool failed = !clear;
  if (failed && !file.failing) {
    *say = std::string("[Error] Fail to write the ") + file.what + " '" + file.path + "': '" +
           why + "'; it is tried again\r\n";
  }
  file.failing = failed;
  return clear;
}

bool LineFileWriteHeld(LineFile& file, LogSink* log) {
  std::string say;
  const bool clear = LineFileRound(file, nullptr, &say);
  if (!say.empty()) DebugPrint(log, "%s", say.c_str());
  return clear;
}

bool LineFileHeld(LineFile& file, LogSink* log) {
  OutcomeWriter* writer = nullptr;
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    writer = file.writer;
  }
  // Woken outside the lock: the writer takes its own lock first and this
  // one inside it.
  if (writer != nullptr) {
    writer->Wake();
    return true;
  }
  return LineFileWriteHeld(file, log);
}

bool LineFileIsKept(const LineFile& file) {
  std::lock_guard<std::mutex> lock(gLogLock);
  return !file.path.empty();
}

bool OpenLogFile(LogFile& file, const std::string& path) {
  CloseLogFile(file);
  // Messages are shown without gLogLock held: ErrorBox waits for the
  // operator, and the server thread must not wait for the GUI thread.
  if (path.empty()) {
    ErrorBox(
        "No log file specified, click the \"Open...\" button to select a log "
        "file.");
    return false;
  }
  std::string why;
  if (!OpenLineFile(file, gLogLock, path, &why)) {
    // Kept all the same: the writer tries it again while lines wait, so
    // that a folder made or a disk mounted later loses no line.
    ErrorBox("Fail to open the log file '%s': '%s'", path.c_str(), why.c_str());
    return false;
  }
  // Lines held while no file could take them go out now.
  LineFileHeld(file, nullptr);
  return true;
}

void CloseLogFile(LogFile& file) { CloseLineFile(file, gLogLock); }
