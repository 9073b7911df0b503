// The operator's window as the privilege test runs it: a copy of this
// program with the network capabilities, started by a user who is not root,
// inside a network namespace of the test. It opens on the settings file
// given (which names the interface, the firmware and the log file), starts
// the server as the Start button does, waits until a device is Done on the
// Device Status panel, and closes as the close button does: the settings
// saved, the log file closed. Exit status 0 then; 1 otherwise, with the
// Debug Window's text on standard error.
//
//   privileged_window CLAIM_DIR CLAIM_GROUP --settings FILE
#include <QApplication>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/gui/server_app.h"
#include "console/gui/server_dlg.h"
#include "gui/gui_support.h"
#include "link/if_claim.h"

namespace {

// Each device closes, then waits out the Close timer (6 s) before it shows
// as Done; a loaded machine needs far more.
constexpr int kServeLimitMs = 90000;

// A message box would wait for a hand: its text goes to standard error.
class StderrSink : public ErrorSink {
 public:
  void Show(const char* text) override { std::fprintf(stderr, "error box: %s\n", text); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[3], "--settings") != 0) {
    std::fprintf(stderr, "usage: privileged_window CLAIM_DIR CLAIM_GROUP --settings FILE\n");
    return 2;
  }
  L2_SetClaimDirForTest(argv[1], argv[2]);
  int qtArgc = 1;
  CServerApp app(qtArgc, argv);
  StderrSink errors;
  SetErrorSink(&errors);
  ServerDlgOptions options;
  options.settingsFile = argv[4];
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
    dlg.OnClose();
  }
  SetErrorSink(nullptr);
  return done ? 0 : 1;
}
