// The two ways skav-server runs: headless from the stored settings, or the
// operator's window (in builds that have one).
#pragma once

#include <cstdint>
#include <string>

/// What the command line gives the headless server.
struct HeadlessOptions {
  std::string settingsFile;    ///< empty: the machine-wide settings
  int32_t forgetAfterSeconds = 0;  ///< 0: a Closed client stays until Clear
};

/// Runs the server without a window until SIGINT or SIGTERM; SIGUSR1
/// clears, SIGUSR2 prints the Device Status panel, SIGHUP reloads the
/// settings. Returns the exit status: 0 after a stop, 1 when the server
/// could not start.
int RunHeadless(const HeadlessOptions& options);

/// Runs the operator's window; defined by the window's library in builds
/// that have one (compiled with SKAV_HAVE_GUI). Returns the exit status.
int RunGui(int argc, char** argv, const std::string& settingsFile);
