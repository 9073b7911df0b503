// The command line of skav-server's server side: what the launcher passes
// on to the engine and the engine carries out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console/headless/front_ends.h"

struct CommandLine {
  enum class Action {
    kWindow,           ///< no server option: the operator's window
    kHeadless,         ///< --headless
    kCheckSettings,    ///< --check-settings FILE [--reload-of PID]
    kRemoveAddresses,  ///< --remove-addresses
  };
  Action action = Action::kWindow;
  HeadlessOptions options;
  std::string checkSettings;
  int32_t reloadOf = 0;
  /// argv[0] and the arguments the window's toolkit may want (-platform ...).
  std::vector<char*> rest;
};

/// Reads skav-server's command line. -1 to go on with `*line`; otherwise
/// the exit status, after --help or --version has been printed (0) or the
/// error said on standard error (2).
int ReadCommandLine(int argc, char** argv, CommandLine* line);

/// The text of --help.
void PrintHelp(FILE* out);
