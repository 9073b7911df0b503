// The application object and the window's entry point of skav-server.
#include "console/gui/server_app.h"

#include <QKeyEvent>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "console/gui/app_icon.h"
#include "console/gui/debug_dialog.h"
#include "console/gui/gui_error_sink.h"
#include "console/headless/front_ends.h"

CServerApp::CServerApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("SKAV Server"));
  setOrganizationName(QStringLiteral("KESTRAN"));
  setDesktopFileName(QStringLiteral("skav-server"));
  setWindowIcon(ServerIcon());
  installEventFilter(this);
}

bool CServerApp::eventFilter(QObject* watched, QEvent* event) {
  if (PreTranslateMessage(watched, event)) return true;
  return QApplication::eventFilter(watched, event);
}

bool CServerApp::PreTranslateMessage(QObject* receiver, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  if (static_cast<QKeyEvent*>(event)->key() != Qt::Key_Escape) return false;
  auto* widget = qobject_cast<QWidget*>(receiver);
  if (widget == nullptr) return false;
  QWidget* window = widget->window();
  return qobject_cast<CServerDlg*>(window) != nullptr ||
         qobject_cast<CDebugDialog*>(window) != nullptr;
}

int CServerApp::InitInstance(const ServerDlgOptions& options) {
  GuiErrorSink errorSink;
  SetErrorSink(&errorSink);
  {
    CServerDlg dlg(options);
    dlg.OnInitDialog();
    dlg.exec();
  }
  SetErrorSink(nullptr);
  return 0;
}

int RunGui(int argc, char** argv, const std::string& settingsFile) {
  // Without a display the toolkit would abort; say what to do instead.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
      std::getenv("WAYLAND_DISPLAY") == nullptr) {
    std::fprintf(stderr,
                 "skav-server: no display to open the window on (DISPLAY is not set); "
                 "run 'skav-server --headless' to serve without a window\n");
    return 2;
  }
  CServerApp app(argc, argv);
  ServerDlgOptions options;
  options.settingsFile = settingsFile;
  return app.InitInstance(options);
}
