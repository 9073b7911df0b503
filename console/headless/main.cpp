// skav-server: the operator's window, or the headless server with
// --headless.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/headless/front_ends.h"
#include "console/settings/settings_store.h"

namespace {

void PrintHelp(FILE* out) {
  const std::string file = MachineSettingsFile();
  const std::string folder = file.substr(0, file.rfind('/'));
  std::fprintf(out,
      "Usage: skav-server [--settings FILE]\n"
      "       skav-server --headless [--settings FILE]\n"
      "       skav-server --help\n"
      "\n"
      "Serves devices in their recovery loader on one network interface: gives\n"
      "them an address and a region and uploads the firmware and string tables.\n"
      "Without --headless it opens the operator's window (when built with it).\n"
      "\n"
      "  --headless       run without a window, from the stored settings. Debug\n"
      "                   Window text goes to standard output as it is printed,\n"
      "                   error messages to standard error; SIGINT or SIGTERM stops\n"
      "                   the server. Exit status 0 after a stop, 1 when the server\n"
      "                   could not start, 2 for a wrong command line.\n"
      "  --settings FILE  use the settings in FILE (INI format) instead of the\n"
      "                   machine-wide settings.\n"
      "  --help           show this text.\n"
      "\n"
      "Settings: the machine-wide settings live in\n"
      "  %s\n"
      "an INI file with the values \"Interface Name\", \"Region\" (a code, 1 to 9),\n"
      "\"Firmware Path\", \"String Table 1 Path\" to \"String Table 6 Path\",\n"
      "\"Log Enable\" (1 or 0), \"Log Path\" and \"Supervisor Password\" (sealed) in\n"
      "its [General] section. The window saves them when it closes; the headless\n"
      "server only reads them. Reading needs no privilege. Writing needs write\n"
      "access to the file and to its folder (the file is written anew beside the\n"
      "old one, with a lock file): root has it.\n"
      "For operators who run the program with file capabilities, once as root:\n"
      "  groupadd --system skav\n"
      "  mkdir -p %s && touch %s\n"
      "  chgrp skav %s %s\n"
      "  chmod 2775 %s && chmod 0664 %s\n"
      "  usermod -aG skav OPERATOR\n"
      "\n"
      "Privileges: capturing frames and setting the server address 10.0.0.1 need\n"
      "CAP_NET_RAW and CAP_NET_ADMIN. Run as root, or give the program file\n"
      "capabilities once:\n"
      "  setcap cap_net_raw,cap_net_admin+eip $(command -v skav-server)\n",
      file.c_str(), folder.c_str(), file.c_str(), folder.c_str(), file.c_str(),
      folder.c_str(), file.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  std::string settingsFile;
  // Arguments the window's toolkit may want (-platform ...).
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintHelp(stdout);
      return 0;
    } else if (std::strcmp(arg, "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(arg, "--settings") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "skav-server: --settings needs a file name\n");
        return 2;
      }
      settingsFile = argv[++i];
    } else if (std::strncmp(arg, "--settings=", 11) == 0 && arg[11] != '\0') {
      settingsFile = arg + 11;
    } else {
      rest.push_back(argv[i]);
    }
  }

  if (headless) {
    if (rest.size() > 1) {
      std::fprintf(stderr, "skav-server: unknown argument '%s' (see skav-server --help)\n",
                   rest[1]);
      return 2;
    }
    return RunHeadless(settingsFile);
  }
#ifdef SKAV_HAVE_GUI
  rest.push_back(nullptr);
  return RunGui(static_cast<int>(rest.size()) - 1, rest.data(), settingsFile);
#else
  std::fprintf(stderr,
               "skav-server: this build has no window; run 'skav-server --headless' "
               "(see skav-server --help)\n");
  return 2;
#endif
}
