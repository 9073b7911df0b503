// skav-server, the launcher: the operator's window; the server options
// (--headless, --check-settings, --remove-addresses) passed on to the
// engine, which alone holds network capabilities; and `ctl`, which asks a
// bench's engine from a terminal without any.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/ctl/ctl.h"
#include "console/descriptor_limit.h"
#include "console/headless/command_line.h"
#include "console/privileged_start.h"
#include "remote/engine_program.h"

namespace {

// The engine in this process's place, with the same arguments: the same
// pid for systemd and for signals, the same output, the same exit status.
int RunEngine(char** argv) {
  const std::string engine = remote::EngineProgram();
  execv(engine.c_str(), argv);
  std::fprintf(stderr, "skav-server: cannot run the engine %s: %s\n", engine.c_str(),
               std::strerror(errno));
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
  if (line.action != CommandLine::Action::kWindow) return RunEngine(argv);

  // Before anything reads the environment and before any toolkit object
  // exists.
  PrivilegedStart start;
  if (!StartTrusted(&start)) return 1;
  // Each device in transfer holds a socket: the window may use every
  // descriptor the hard limit allows.
  RaiseDescriptorLimit();
#ifdef SKAV_HAVE_GUI
  std::vector<char*>& rest = line.rest;
  if (start.privileged && rest.size() > 1) {
    // Toolkit options name plugins, plugin folders and style files.
    std::fprintf(stderr,
                 "skav-server: with network capabilities the window takes no toolkit "
                 "option ('%s'); QT_QPA_PLATFORM=xcb, wayland or offscreen chooses the "
                 "display\n",
                 rest[1]);
    return 2;
  }
  // The window serves through an engine of its own, which takes the
  // capabilities from its own file: the window keeps none.
  if (RaisedPrivileges() && !DropCapabilities()) {
    std::fprintf(stderr, "skav-server: cannot give up the network capabilities\n");
    return 1;
  }
  rest.push_back(nullptr);
  return RunGui(static_cast<int>(rest.size()) - 1, rest.data(), line.options.settingsFile, start);
#else
  std::fprintf(stderr,
               "skav-server: this build has no window; run 'skav-server --headless' "
               "(see skav-server --help)\n");
  return 2;
#endif
}
