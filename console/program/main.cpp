// skav-server, the launcher: the operator's window (skav-window, which holds
// no capability); the server options (--headless, --check-settings,
// --remove-addresses) passed on to the engine, which alone holds network
// capabilities; and `ctl`, which asks a bench's engine from a terminal
// without any. It links no GUI toolkit: a headless bench installs none.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/ctl/ctl.h"
#include "console/headless/command_line.h"
#include "console/privileged_start.h"
#include "remote/engine_program.h"

namespace {

// The engine or the window in this process's place, with the same
// arguments: the same pid for systemd and for signals, the same output,
// the same exit status.
int RunHelper(const std::string& program, const char* what, char** argv) {
  execv(program.c_str(), argv);
  const int err = errno;
  std::fprintf(stderr, "skav-server: cannot run %s %s: %s", what, program.c_str(),
               std::strerror(err));
  if (err == ENOENT && std::strcmp(what, "the window") == 0) {
    std::fprintf(stderr, " (the package skav-server-gui has it; 'skav-server --headless' "
                         "serves without a window)");
  } else if (err == EACCES) {
    std::fprintf(stderr, " (members of the group 'skav' may run it)");
  }
  std::fputc('\n', stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) {
    // A terminal's questions need no privilege.
    if (RaisedPrivileges() && !DropCapabilities()) {
      std::fprintf(stderr, "skav-server ctl: cannot give up the program's capabilities\n");
      return 1;
    }
    return RunCtl(argc - 1, argv + 1);
  }
  CommandLine line;
  const int status = ReadCommandLine(argc, argv, &line);
  if (status >= 0) return status;
  if (line.action != CommandLine::Action::kWindow) {
    return RunHelper(remote::EngineProgram(), "the engine", argv);
  }

  // The window holds no capability: a launcher that has some gives them up
  // before it runs the window (which serves through an engine of its own).
  if (RaisedPrivileges() && !DropCapabilities()) {
    std::fprintf(stderr, "skav-server: cannot give up the network capabilities\n");
    return 1;
  }
  return RunHelper(remote::WindowProgram(), "the window", argv);
}
