// The two ways skav-server runs: headless from the stored settings, or the
// operator's window (in builds that have one).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "console/privileged_start.h"

class RunTap;

/// What the command line gives the headless server.
struct HeadlessOptions {
  std::string settingsFile;    ///< empty: the machine-wide settings
  int32_t forgetAfterSeconds = 0;  ///< 0: a Closed client stays until Clear
  int32_t maxClients = 0;          ///< 0: the settings' "Max Clients"
  std::string recordFile;          ///< empty: the settings' "Record Path"
  bool progress = false;           ///< a summary line every 5 s
  std::string metricsFile;         ///< empty: no metrics file
  /// The engine's front ends (see run_tap.h); nullptr: none.
  RunTap* tap = nullptr;
};

/// Runs the server without a window until SIGINT or SIGTERM; SIGUSR1
/// clears, SIGUSR2 prints the Device Status panel, SIGHUP reloads the
/// settings. A privileged `start` is told on standard output first. Returns
/// the exit status: 0 after a stop, 1 when the server could not start.
int RunHeadless(const HeadlessOptions& options, const PrivilegedStart& start);

/// --check-settings: whether the settings in `settingsFile` would start a
/// server (they read, every image they name loads, the interface they name
/// is there, can be claimed and opened), touching no address. A claim held
/// by the process `holder` (> 0) counts as free: the check is for that
/// server's reload. Returns the exit status, 0 or 1 after the reason on
/// standard error.
int CheckSettings(const std::string& settingsFile, pid_t holder);

/// Runs the operator's window; defined by the window's library (skav-window
/// calls it). A privileged `start` loads
/// toolkit plugins from the system's plugin folder only. Returns the exit
/// status.
int RunGui(int argc, char** argv, const std::string& settingsFile,
           const PrivilegedStart& start);
