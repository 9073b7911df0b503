// skav-window: the operator's window, run by skav-server. It holds no
// capability: its runs are served by an engine it starts for itself. Should
// an administrator give it capabilities all the same, or run it as root, it
// trusts nothing its user chooses, as the engine does, and gives them up
// before the toolkit starts.
#include <cstdio>
#include <cstring>
#include <vector>

#include "console/headless/command_line.h"
#include "console/headless/front_ends.h"
#include "console/privileged_start.h"

int main(int argc, char** argv) {
  CommandLine line;
  const int status = ReadCommandLine(argc, argv, &line);
  if (status >= 0) return status;
  if (line.action != CommandLine::Action::kWindow) {
    std::fprintf(stderr, "skav-server: the window serves no server option; run 'skav-server %s'\n",
                 argc > 1 ? argv[1] : "--help");
    return 2;
  }
  // Before anything reads the environment and before any toolkit object
  // exists.
  PrivilegedStart start;
  if (!StartTrusted(&start)) return 1;
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
  if (RaisedPrivileges() && !DropCapabilities()) {
    std::fprintf(stderr, "skav-server: cannot give up the network capabilities\n");
    return 1;
  }
  rest.push_back(nullptr);
  return RunGui(static_cast<int>(rest.size()) - 1, rest.data(), line.options.settingsFile, start);
}
