// The two ways skav-server runs: headless from the stored settings, or the
// operator's window (in builds that have one).
#pragma once

#include <string>

/// Runs the server without a window until SIGINT or SIGTERM. `settingsFile`
/// empty means the machine-wide settings. Returns the exit status: 0 after
/// a stop, 1 when the server could not start.
int RunHeadless(const std::string& settingsFile);

/// Runs the operator's window; defined by the window's library in builds
/// that have one (compiled with SKAV_HAVE_GUI). Returns the exit status.
int RunGui(int argc, char** argv, const std::string& settingsFile);
