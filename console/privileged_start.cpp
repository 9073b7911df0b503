// The trusted start of a privileged skav-server: which environment entries
// stay, how the process tells it holds privileges, which folder it trusts.
#include "console/privileged_start.h"

#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

extern char** environ;

namespace {

// Kept with any value: where the window is shown, whose session it is, the
// user's home (the file dialogs start there), and the journal's stream
// (systemd sets it for the service; the runner tells journal from terminal
// by it). None of them names code to run.
constexpr std::string_view kKeptAsIs[] = {
    "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE",
    "HOME", "JOURNAL_STREAM",
};

// The platforms a window may ask for, all found in the system's plugin
// folder; any option or list after the name would reach the plugin.
constexpr std::string_view kPlatforms[] = {"xcb", "wayland", "offscreen"};

bool IsLocaleCategory(std::string_view name) {
  if (name.size() <= 3 || name.substr(0, 3) != "LC_") return false;
  return std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// A zone of the system's database ("Europe/Berlin", ":UTC") or a POSIX
// rule ("CET-1CEST,M3.5.0,M10.5.0/3"), never a file of the user's.
bool IsZoneName(std::string_view value) {
  if (!value.empty() && value.front() == ':') value.remove_prefix(1);
  if (!value.empty() && value.front() == '/') return false;
  return value.find("..") == std::string_view::npos;
}

std::string_view NameOf(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

bool RaisedPrivileges() {
  if (getauxval(AT_SECURE) != 0) return true;
  if (getuid() == 0) return false;
  // Permitted counts too: code in the process may raise any permitted
  // capability into the effective set itself.
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return true;
  for (const auto& word : data) {
    if (word.effective != 0 || word.permitted != 0) return true;
  }
  return false;
}

bool KeptWhenPrivileged(std::string_view entry) {
  const size_t eq = entry.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view name = entry.substr(0, eq);
  const std::string_view value = entry.substr(eq + 1);
  if (std::find(std::begin(kKeptAsIs), std::end(kKeptAsIs), name) != std::end(kKeptAsIs)) {
    return true;
  }
  // A locale is a name the C library and the toolkit look up in the
  // system's own data; a path would make them read the user's files.
  if (name == "LANG" || IsLocaleCategory(name)) {
    return value.find('/') == std::string_view::npos;
  }
  if (name == "TZ") return IsZoneName(value);
  if (name == "QT_QPA_PLATFORM") {
    return std::find(std::begin(kPlatforms), std::end(kPlatforms), value) != std::end(kPlatforms);
  }
  return false;
}

size_t ReduceEnvironment() {
  std::vector<std::string> kept;
  std::vector<std::string> seen;
  size_t dropped = 0;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string name(NameOf(entry));
    const bool again = std::find(seen.begin(), seen.end(), name) != seen.end();
    if (!again) seen.push_back(name);
    if (again || !KeptWhenPrivileged(entry)) {
      ++dropped;
    } else {
      kept.emplace_back(entry);
    }
  }
  clearenv();
  for (const std::string& entry : kept) {
    const size_t eq = entry.find('=');
    setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
  }
  return dropped;
}

bool TrustedFolder(uid_t owner, mode_t mode) {
  return owner == 0 && (mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string ProgramFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe", ec);
  if (ec) return {};
  return self.parent_path().string();
}

std::string ReducedEnvironmentLine(size_t droppedVariables) {
  return "Running with network privileges: the environment was reduced to a trusted set (" +
         std::to_string(droppedVariables) +
         (droppedVariables == 1 ? " variable" : " variables") + " dropped).\r\n";
}

bool StartTrusted(PrivilegedStart* start) {
  start->privileged = RaisedPrivileges();
  if (!start->privileged) return true;
  start->droppedVariables = ReduceEnvironment();
  const std::string folder = ProgramFolder();
  struct stat st;
  if (folder.empty() || stat(folder.c_str(), &st) != 0 || !TrustedFolder(st.st_uid, st.st_mode)) {
    std::fprintf(stderr,
                 "skav-server: it holds network capabilities, so it runs only from a folder "
                 "that root owns and no one else may write; '%s' is not one. Install it "
                 "as the README says.\n",
                 folder.c_str());
    return false;
  }
  return true;
}

bool DropCapabilities() {
  // Ambient ones first: they would come back into the permitted set at
  // the next exec.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, data) == 0;
}
