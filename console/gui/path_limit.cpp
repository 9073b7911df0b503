// The longest file path the window takes, in the bytes the file system and
// the settings see.
#include "console/gui/path_limit.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include "report/debug_print.h"

bool PathFitsSettings(const QString& path) {
  const QByteArray bytes = QFile::encodeName(path);
  if (bytes.size() <= kMaxPathBytes) return true;
  ErrorBox("The chosen path is too long to be kept (%d bytes, at most %d): %s",
           static_cast<int>(bytes.size()), kMaxPathBytes, bytes.constData());
  return false;
}
