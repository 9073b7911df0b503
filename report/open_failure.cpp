// Open failures of the log file and the record, with what mends them.
#include "report/open_failure.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string UserName(uid_t uid) {
  const passwd* pw = getpwuid(uid);
  return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* gr = getgrgid(gid);
  return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A file a root run left behind, or a folder this user may not write in:
// whose it is, and how it becomes this user's.
std::string PermissionDenied(const std::string& path) {
  struct stat st {};
  std::string what = "the file";
  std::string target = path;
  if (stat(path.c_str(), &st) != 0) {
    target = Folder(path);
    what = "the folder '" + target + "'";
    if (stat(target.c_str(), &st) != 0) return std::strerror(EACCES);
  }
  const uid_t me = geteuid();
  const std::string user = UserName(me);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  std::string text = std::string(std::strerror(EACCES)) + ": " + what + " belongs to " +
                     UserName(st.st_uid) + ":" + GroupName(st.st_gid) + " with mode " + mode +
                     ", and " + user + " may not write " +
                     (target == path ? "it" : "in it") + "; mend it with: ";
  if (st.st_uid != me) {
    text += "sudo chown " + user + ":" + GroupName(getegid()) + " '" + target + "'";
  } else {
    text += std::string("chmod u+w") + (target == path ? "" : "x") + " '" + target + "'";
  }
  return text;
}

}  // namespace

std::string OpenFailure(const std::string& path, int err) {
  if (err == EACCES) return PermissionDenied(path);
  std::string text = std::strerror(err);
  if (err == EROFS) {
    text += " (under the skav-server service, ProtectSystem=strict lets it write only under "
            "/var/log/skav-server, or /var/log/skav-server-IF for skav-server@IF; for '" +
            Folder(path) + "' put ReadWritePaths=" + Folder(path) +
            " in a drop-in: systemctl edit skav-server)";
  }
  return text;
}
