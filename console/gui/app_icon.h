// The program's icon, drawn in code so that the window needs no image
// plug-in (packaging/skav-server.svg is the same drawing for desktops).
#pragma once

#include <QIcon>

/// The icon of the main window and the About box.
QIcon ServerIcon();
