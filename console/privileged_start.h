// What a skav-server holding network capabilities may take from the user
// who started it: the environment it keeps, the folder it runs from, and
// the line that tells the operator so.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

/// What main found before any toolkit object existed.
struct PrivilegedStart {
  /// The process runs with privileges its user does not have.
  bool privileged = false;
  /// Environment entries removed at start.
  size_t droppedVariables = 0;
};

/// True when the process holds privileges the user who started it lacks:
/// the kernel marked the start secure (file capabilities, set-user-ID), or
/// it holds any capability (effective or permitted) while its real user is
/// not root. When the capabilities cannot be read, true.
bool RaisedPrivileges();

/// True when `entry` ("NAME=value") stays in the environment of a
/// privileged process: the display and session (DISPLAY, WAYLAND_DISPLAY,
/// XAUTHORITY, XDG_RUNTIME_DIR, XDG_SESSION_TYPE), HOME, JOURNAL_STREAM,
/// LANG and LC_* naming a locale (no '/'), TZ naming a zone (no absolute
/// path, no ".."), and QT_QPA_PLATFORM when it is exactly xcb, wayland or
/// offscreen. Everything else goes, an entry without '=' included.
bool KeptWhenPrivileged(std::string_view entry);

/// Rebuilds the process's environment from the entries KeptWhenPrivileged
/// accepts, each name once (the first entry wins, as getenv reads it).
/// Returns how many entries went. Call before any other thread exists.
size_t ReduceEnvironment();

/// True when a folder owned by `owner` with `mode` decides nothing the
/// user may choose: owned by root and writable by no one else.
bool TrustedFolder(uid_t owner, mode_t mode);

/// The folder of the running program (through /proc/self/exe, links
/// resolved); empty when it cannot be found.
std::string ProgramFolder();

/// What main does first, before anything reads the environment and before
/// any toolkit object exists: when the process holds privileges its user
/// lacks, only what the user cannot choose may decide what code runs, so
/// the environment is reduced and the program must lie in a folder only
/// root writes (the toolkit reads qt.conf there). False when the program
/// must not go on; the reason is on standard error.
bool StartTrusted(PrivilegedStart* start);

/// Gives up every capability for good (effective, permitted, inheritable
/// and ambient): for the parts of the program that need none. False when
/// the kernel refused.
bool DropCapabilities();

/// The Debug Window line (CR LF at its end) that says the environment was
/// reduced, with the number of entries dropped.
std::string ReducedEnvironmentLine(size_t droppedVariables);
