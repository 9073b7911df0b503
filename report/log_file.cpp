// The log file: start and supervisor banners and one outcome line per
// finished device, CR LF line ends, every use of the stream under gLogLock.
#include "report/log_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "report/debug_print.h"
#include "report/device_record.h"

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

// The file is binary: each line feed of a format is written as CR LF, as a
// text-mode stream would store it, so log files match across platforms.
bool WriteCrLf(FILE* fp, const char* text) {
  bool ok = true;
  while (*text != '\0') {
    const char* lf = std::strchr(text, '\n');
    size_t n = lf != nullptr ? static_cast<size_t>(lf - text) : std::strlen(text);
    if (n > 0 && std::fwrite(text, 1, n, fp) != n) ok = false;
    if (lf == nullptr) break;
    if (std::fwrite("\r\n", 1, 2, fp) != 2) ok = false;
    text = lf + 1;
  }
  return ok;
}

}  // namespace

int LogFileBanner(LogFile& file, int kind) {
  if (kind < BANNER_REWORK_START || kind > BANNER_SUPERVISOR_LOGOUT) return 0;
  char stamp[32];
  AscTimeNow(stamp);
  char line[128];
  switch (kind) {
    case BANNER_REWORK_START:
      std::snprintf(line, sizeof line,
                    "\n########## [%s] Firmware Reworking starts ##########\n",
                    stamp);
      break;
    case BANNER_SUPERVISOR_LOGIN:
      std::snprintf(line, sizeof line,
                    "########## [%s] Supervisor Logs in        ##########\n",
                    stamp);
      break;
    default:
      std::snprintf(line, sizeof line,
                    "########## [%s] Supervisor Logs out       ##########\n",
                    stamp);
      break;
  }

  std::lock_guard<std::mutex> lock(gLogLock);
  if (file.fp == nullptr) return 0;
  std::clearerr(file.fp);
  bool ok = WriteCrLf(file.fp, line);
  // A buffered write fails only at the flush; that counts as the write.
  if (std::fflush(file.fp) != 0) ok = false;
  return ok ? 1 : 0;
}

int LogFileOutcomes(LogFile& file, DeviceRecord* list) {
  std::lock_guard<std::mutex> lock(gLogLock);
  if (file.fp == nullptr) return 0;
  for (DeviceRecord* c = list; c != nullptr; c = c->next) {
    if (c->HasFlag(outcomeLogged)) continue;
    const Outcome outcome = ClientOutcome(*c);
    if (outcome == Outcome::kReworking) continue;
    // Past the bound the device keeps its record, unmarked, until lines
    // have gone out.
    if (file.held.lines.size() >= kMaxHeldLines) break;
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

bool LogFileWriteHeld(LogFile& file, LogSink* log) {
  int fd = -1;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    if (file.held.lines.empty()) return true;
    if (file.fp == nullptr) return false;
    // A banner may sit in the stream's buffer: it goes first.
    std::fflush(file.fp);
    // Written without the lock: the front end may replace or close the
    // file meanwhile, and this descriptor stays valid for the write.
    fd = dup(fileno(file.fp));
    path = file.path;
  }
  if (fd < 0) return false;
  bool wrote = false;
  const int err = WriteHeldLines(fd, file.held, gLogLock, &wrote);
  // Once per round, not per line: a line the file took survives a power
  // cut at the end of a shift.
  if (wrote) fdatasync(fd);
  close(fd);
  bool say = false;
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    say = err != 0 && !file.failing;
    file.failing = err != 0;
  }
  if (say) {
    DebugPrint(log, "[Error] Fail to write the log file '%s': '%s'; it is tried again\r\n",
               path.c_str(), std::strerror(err));
  }
  return err == 0;
}

bool LogFileIsOpen(LogFile& file) {
  std::lock_guard<std::mutex> lock(gLogLock);
  return file.fp != nullptr;
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
  const int fd = OpenAppendFile(path, &why);
  FILE* fp = fd >= 0 ? fdopen(fd, "ab") : nullptr;
  if (fp == nullptr) {
    if (fd >= 0) {
      why = std::strerror(errno);
      close(fd);
    }
    ErrorBox("Fail to open the log file '%s': '%s'", path.c_str(), why.c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(gLogLock);
  // Only when two openers raced; the later file wins, none leaks.
  if (file.fp != nullptr) std::fclose(file.fp);
  file.fp = fp;
  file.path = path;
  file.failing = false;
  return true;
}

void CloseLogFile(LogFile& file) {
  std::lock_guard<std::mutex> lock(gLogLock);
  if (file.fp != nullptr) {
    std::fclose(file.fp);
    file.fp = nullptr;
  }
  file.path.clear();
}
