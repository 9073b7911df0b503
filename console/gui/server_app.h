// The application object of the window build: prepares the toolkit, runs
// the main window, and keeps Escape from closing it.
#pragma once

#include <QApplication>

#include "console/gui/server_dlg.h"

/// One instance for the life of the process.
class CServerApp : public QApplication {
  Q_OBJECT

 public:
  /// `argc` must outlive the application object.
  CServerApp(int& argc, char** argv);

  /// Runs the main window with the window's error boxes until it has been
  /// closed. Returns the process's exit status.
  int InitInstance(const ServerDlgOptions& options);

  /// Looks at every event before it is delivered; true when it is
  /// consumed: Escape pressed in the main window or in the Debug Window,
  /// which only their close boxes close.
  bool PreTranslateMessage(QObject* receiver, QEvent* event);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
