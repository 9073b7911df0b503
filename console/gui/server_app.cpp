// The application object and the window's entry point of skav-server.
#include "console/gui/server_app.h"

#include <fontconfig/fontconfig.h>

#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "console/gui/app_icon.h"
#include "console/gui/debug_dialog.h"
#include "console/gui/gui_error_sink.h"
#include "console/headless/front_ends.h"
#include "console/privileged_start.h"

namespace {

// The plugin folder of the toolkit's installation. A qt.conf beside the
// program may move it once the application object exists; the program's
// folder is root's alone by then (main made sure).
QString SystemPluginFolder() {
  return QDir(QLibraryInfo::path(QLibraryInfo::PluginsPath)).canonicalPath();
}

// Plugin search in the system's folder alone, also while the application
// object is being built (it loads the platform, theme and generic plugins
// then). Set before that, the list loses what QT_PLUGIN_PATH named, but the
// toolkit adds the program's folder when the object is built, unless that
// folder was in the list already and was taken out: so it is named once
// through QT_PLUGIN_PATH (dropped from the environment by then) to be taken
// out with the rest.
void SearchSystemPluginsOnly() {
  const QString folder = QString::fromStdString(ProgramFolder());
  qputenv("QT_PLUGIN_PATH", QFile::encodeName(folder));
  QCoreApplication::libraryPaths();
  qunsetenv("QT_PLUGIN_PATH");
  const QString system = SystemPluginFolder();
  QCoreApplication::setLibraryPaths(system.isEmpty() ? QStringList() : QStringList{system});
}

}  // namespace

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
    dlg.EndOnSessionSignals();
    dlg.exec();
  }
  SetErrorSink(nullptr);
  return 0;
}

int RunGui(int argc, char** argv, const std::string& settingsFile,
           const PrivilegedStart& start) {
  // Without a display the toolkit would abort; say what to do instead.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
      std::getenv("WAYLAND_DISPLAY") == nullptr) {
    std::fprintf(stderr,
                 "skav-server: no display to open the window on (DISPLAY is not set); "
                 "run 'skav-server --headless' to serve without a window\n");
    return 2;
  }
  if (start.privileged) {
    SearchSystemPluginsOnly();
    // Fonts, font settings and font caches come from the system's folders,
    // not from files in the user's home that the font library would parse
    // (its caches it maps and trusts).
    FcConfigEnableHome(FcFalse);
  }
  CServerApp app(argc, argv);
  if (start.privileged && QCoreApplication::libraryPaths() != QStringList{SystemPluginFolder()}) {
    // Another toolkit version may rebuild the list differently: stop rather
    // than run on with plugins from elsewhere.
    std::fprintf(stderr,
                 "skav-server: toolkit plugins are searched in '%s', not only in the "
                 "system's folder; not starting\n",
                 qPrintable(QCoreApplication::libraryPaths().join(QLatin1Char(':'))));
    return 1;
  }
  ServerDlgOptions options;
  options.settingsFile = settingsFile;
  if (start.privileged) options.debugNote = ReducedEnvironmentLine(start.droppedVariables);
  return app.InitInstance(options);
}
