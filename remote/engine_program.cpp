// The helpers' paths: compiled in, or beside the caller when nothing the
// user chose could have put them there for a privileged process to run.
#include "remote/engine_program.h"

#include <sys/stat.h>
#include <unistd.h>

#include "console/privileged_start.h"

#ifndef SKAV_ENGINE_PATH
#define SKAV_ENGINE_PATH "/usr/libexec/skav-server/skav-engine"
#endif
#ifndef SKAV_WINDOW_PATH
#define SKAV_WINDOW_PATH "/usr/libexec/skav-server/skav-window"
#endif
// From the launcher's folder to the helpers' folder, in the install layout.
#ifndef SKAV_HELPERS_BESIDE
#define SKAV_HELPERS_BESIDE "../libexec/skav-server"
#endif

namespace remote {

namespace {

bool Usable(const std::string& path, bool asRoot) {
  struct stat file, dir;
  if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return false;
  if (!asRoot) return true;
  const std::string folder = path.substr(0, path.rfind('/'));
  return stat(folder.c_str(), &dir) == 0 && TrustedFolder(dir.st_uid, dir.st_mode) &&
         TrustedFolder(file.st_uid, file.st_mode);
}

std::string HelperProgram(const std::string& installed) {
  if (RaisedPrivileges()) return installed;
  const std::string folder = ProgramFolder();
  if (folder.empty()) return installed;
  const std::string name = installed.substr(installed.rfind('/') + 1);
  // The launcher's layout first, then the helpers' own folder (the window
  // runs the engine beside itself).
  for (const std::string& candidate :
       {folder + "/" + SKAV_HELPERS_BESIDE + "/" + name, folder + "/" + name}) {
    if (Usable(candidate, geteuid() == 0)) return candidate;
  }
  return installed;
}

}  // namespace

std::string EngineProgram() { return HelperProgram(SKAV_ENGINE_PATH); }

std::string WindowProgram() { return HelperProgram(SKAV_WINDOW_PATH); }

}  // namespace remote
