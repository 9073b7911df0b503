// The engine's path: compiled in, or beside the launcher when nothing the
// user chose could have put it there for a privileged process to run.
#include "remote/engine_program.h"

#include <sys/stat.h>
#include <unistd.h>

#include "console/privileged_start.h"

#ifndef SKAV_ENGINE_PATH
#define SKAV_ENGINE_PATH "/usr/libexec/skav-server/skav-engine"
#endif
// From the launcher's folder to the engine's, in the install layout.
#ifndef SKAV_ENGINE_BESIDE
#define SKAV_ENGINE_BESIDE "../libexec/skav-server/skav-engine"
#endif

namespace remote {

std::string EngineProgram() {
  if (RaisedPrivileges()) return SKAV_ENGINE_PATH;
  const std::string folder = ProgramFolder();
  if (folder.empty()) return SKAV_ENGINE_PATH;
  const std::string beside = folder + "/" + SKAV_ENGINE_BESIDE;
  struct stat file, dir;
  if (stat(beside.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return SKAV_ENGINE_PATH;
  if (geteuid() == 0) {
    const std::string engineFolder = beside.substr(0, beside.rfind('/'));
    if (stat(engineFolder.c_str(), &dir) != 0 || !TrustedFolder(dir.st_uid, dir.st_mode) ||
        !TrustedFolder(file.st_uid, file.st_mode)) {
      return SKAV_ENGINE_PATH;
    }
  }
  return beside;
}

}  // namespace remote
