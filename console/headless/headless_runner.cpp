// The headless runner: the window's start sequence from the stored
// settings, Debug Window text on standard output, messages on standard
// error, and the stop sequence on SIGINT or SIGTERM.
#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "report/debug_print.h"
#include "console/headless/front_ends.h"
#include "console/log_file.h"
#include "console/server_control.h"
#include "console/settings/plain_controls.h"
#include "console/settings/settings_store.h"
#include "console/status_panel.h"
#include "link/if_list.h"
#include "protocol/server_thread.h"

namespace {

// Writes the whole buffer to `fd`, going on after interruptions. Gives up
// quietly when the reader is gone: the server keeps running.
void WriteAll(int fd, const char* text, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

// The Debug Window is always open here: each text goes out at once, byte
// for byte, in one write (at most 511 bytes, so a pipe never splits it).
class StdoutLogSink : public LogSink {
 public:
  void Append(const char* text, size_t len) override { WriteAll(STDOUT_FILENO, text, len); }
};

// Nobody can dismiss a message box: the message goes out and the caller
// goes on.
class StderrErrorSink : public ErrorSink {
 public:
  void Show(const char* text) override {
    char line[512 + 1];
    const size_t n = strnlen(text, 511);
    std::memcpy(line, text, n);
    line[n] = '\n';
    WriteAll(STDERR_FILENO, line, n + 1);
  }
};

class HeadlessControls : public PlainControls {
 public:
  HeadlessControls(const L2_IfList& interfaces, LogFile& logFile)
      : PlainControls(interfaces), logFile_(logFile) {}
  bool OpenLogFile() override { return ::OpenLogFile(logFile_, LogPath()); }

 private:
  LogFile& logFile_;
};

void Note(const char* format, const char* text) {
  char line[1024];
  const int n = std::snprintf(line, sizeof line, format, text);
  if (n > 0) WriteAll(STDERR_FILENO, line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

}  // namespace

int RunHeadless(const std::string& settingsFile) {
  // The signals are taken from a descriptor that main waits on, so nothing
  // runs in a handler; blocked before any thread starts, so every thread
  // inherits the mask and none of them takes the signal instead.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signalFd < 0) {
    Note("skav-server: cannot wait for signals: %s\n", std::strerror(errno));
    return 1;
  }
  // A reader that went away must not end the server.
  signal(SIGPIPE, SIG_IGN);

  StdoutLogSink logSink;
  LogSlot logSlot{&logSink};
  StderrErrorSink errorSink;
  SetErrorSink(&errorSink);

  L2_IfList interfaces;
  L2_ListIf(&interfaces);

  SKAVDContext ctx;
  StatusText statusText;
  ctx.statusCtl = &statusText;
  ctx.panel.Set(sortKey, kSortMacUp);

  HeadlessControls controls(interfaces, ctx.logFile);
  const std::string where = settingsFile.empty() ? MachineSettingsFile() : settingsFile;
  struct stat st;
  if (stat(where.c_str(), &st) != 0 && errno == ENOENT) {
    Note("skav-server: no settings stored in '%s'; using the defaults\n", where.c_str());
  }
  if (!LoadSettings(controls, settingsFile)) {
    ErrorBox("Fail to retrieve previous user configurations, use the default settings");
  }

  StartRequest request;
  request.firmwarePath = controls.FirmwarePath();
  for (int k = 0; k < 6; ++k) request.stringTablePaths[k] = controls.StringTablePath(k + 1);
  request.interfaces = &interfaces;
  request.interfaceItem = controls.InterfaceSelection();
  request.regionCode = controls.SelectedRegionCode();
  request.logSlot = &logSlot;

  int status = 0;
  {
    ServerControl server(ctx);
    if (server.Start(request)) {
      signalfd_siginfo info;
      for (;;) {
        const ssize_t n = read(signalFd, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) {
          Note("skav-server: %s, stopping\n", strsignal(static_cast<int>(info.ssi_signo)));
          break;
        }
        if (n < 0 && errno != EINTR) break;
      }
      server.Stop();
    } else {
      status = 1;
    }
  }
  CloseLogFile(ctx.logFile);
  SetErrorSink(nullptr);
  close(signalFd);
  return status;
}
