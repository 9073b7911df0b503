// skav-server ctl: a bench's headless server asked from a terminal (over
// SSH, say), one verb a call, output for people and an exit status for
// scripts.
#pragma once

/// Exit statuses of ctl.
enum CtlStatus : int {
  kCtlDone = 0,
  kCtlRefused = 1,  ///< the reason is on standard error
  kCtlNoBench = 2,  ///< no such bench (or a wrong command line)
};

/// Runs `skav-server ctl ARGS`; argv[0] is "ctl". Returns the exit status.
int RunCtl(int argc, char** argv);
