// The operator's window as the privilege test runs it: a copy of this
// program without any capability, started by a user who is not root,
// inside a network namespace of the test, beside a copy of the engine with
// the network capabilities. It opens on the settings file given (which
// names the interface, the firmware and the log file), starts the server
// as the Start button does, waits until a device is Done on the Device
// Status panel, and closes as the close button does: the settings saved,
// the engine ended with its log file. While the device is served the
// window holds no capability and its engine holds them. Exit status 0
// then; 1 otherwise, with the reason and the Debug Window's text on
// standard error.
//
//   operator_window --settings FILE
#include <QApplication>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/gui/server_app.h"
#include "console/gui/server_dlg.h"
#include "gui/gui_support.h"

namespace {

// Each device closes, then waits out the Close timer (6 s) before it shows
// as Done; a loaded machine needs far more.
constexpr int kServeLimitMs = 90000;

// A message box would wait for a hand: its text goes to standard error.
class StderrSink : public ErrorSink {
 public:
  void Show(const char* text) override { std::fprintf(stderr, "error box: %s\n", text); }
};

// The value of `field` ("CapEff:") in /proc/PID/status; empty when absent.
std::string StatusField(const std::string& pid, const std::string& field) {
  const std::string status = gui_test::ReadFile("/proc/" + pid + "/status");
  const size_t at = status.find("\n" + field);
  if (at == std::string::npos) return {};
  const size_t from = status.find_first_not_of(" \t", at + 1 + field.size());
  return status.substr(from, status.find('\n', from) - from);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "--settings") != 0) {
    std::fprintf(stderr, "usage: operator_window --settings FILE\n");
    return 2;
  }
  int qtArgc = 1;
  CServerApp app(qtArgc, argv);
  StderrSink errors;
  SetErrorSink(&errors);
  ServerDlgOptions options;
  options.settingsFile = argv[2];
  bool done = false;
  {
    CServerDlg dlg(options);
    dlg.OnInitDialog();
    dlg.OnDebugWindow();
    dlg.OnStartStop();
    auto* panel = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_STATUS_TEXT));
    done = dlg.Running() && gui_test::WaitUntil(
                                [panel] { return panel->toPlainText().contains(": Done"); },
                                kServeLimitMs);
    if (!done) {
      std::fprintf(stderr, "no device Done; panel:\n%s\nDebug Window:\n%s\n",
                   qPrintable(panel->toPlainText()), gui_test::DebugText(dlg).c_str());
    }
    // The serving is the engine's: the window has nothing to serve with.
    const std::string none = "0000000000000000";
    const std::string engine = std::to_string(dlg.EnginePid());
    if (StatusField("self", "CapEff:") != none || StatusField("self", "CapPrm:") != none ||
        StatusField(engine, "CapEff:") == none) {
      std::fprintf(stderr, "window CapEff %s CapPrm %s, engine %s CapEff %s\n",
                   StatusField("self", "CapEff:").c_str(), StatusField("self", "CapPrm:").c_str(),
                   engine.c_str(), StatusField(engine, "CapEff:").c_str());
      done = false;
    }
    dlg.OnClose();
  }
  SetErrorSink(nullptr);
  return done ? 0 : 1;
}
