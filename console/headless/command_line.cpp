// The command line skav-server takes, read the same way by the launcher
// (which passes every server option on to the engine) and by the engine
// (which carries it out), so that both refuse the same lines in the same
// words.
#include "console/headless/command_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "console/settings/settings_store.h"
#include "link/if_claim.h"
#include "protocol/server_thread.h"

#ifndef SKAV_INSTANCE_SETTINGS_DIR
#define SKAV_INSTANCE_SETTINGS_DIR "/etc/skav-server"
#endif
#ifndef SKAV_VERSION
#define SKAV_VERSION "0"
#endif
#ifndef SKAV_ENGINE_PATH
#define SKAV_ENGINE_PATH "/usr/libexec/skav-server/skav-engine"
#endif

namespace {

// A week: longer than any shift, and far from the millisecond clock's
// limits.
constexpr int kMaxForgetAfterSeconds = 7 * 24 * 3600;
// The kernel's largest process id.
constexpr int kMaxPid = 4194304;

// A whole number, digits only, from 1 to `max`.
bool ParseCount(const char* text, int32_t max, int32_t* count) {
  if (text == nullptr || *text == '\0') return false;
  long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > max) return false;
  }
  if (value < 1) return false;
  *count = static_cast<int32_t>(value);
  return true;
}

// The value of option `name` ("--name VALUE" or "--name=VALUE") when
// argv[*i] is that option, moving *i past a separate value; nullptr when
// argv[*i] is another argument. `*given` tells the option from others even
// when its value is missing (then an empty text).
const char* OptionValue(const char* name, int argc, char** argv, int* i, bool* given) {
  const char* arg = argv[*i];
  const size_t n = std::strlen(name);
  *given = std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
  if (!*given) return nullptr;
  if (arg[n] == '=') return arg + n + 1;
  return *i + 1 < argc ? argv[++*i] : "";
}

// A file name that node_exporter's textfile collector takes: NAME.prom.
bool PromFileName(const char* path) {
  const char* base = std::strrchr(path, '/');
  base = base ? base + 1 : path;
  const size_t n = std::strlen(base);
  return n > 5 && std::strcmp(base + n - 5, ".prom") == 0;
}

}  // namespace

int ReadCommandLine(int argc, char** argv, CommandLine* line) {
  bool headless = false;
  HeadlessOptions& options = line->options;
  const char* checkSettings = nullptr;
  int32_t reloadOf = 0;
  const char* headlessOnly = nullptr;  // the first option the window lacks
  // Arguments the window's toolkit may want (-platform ...).
  std::vector<char*>& rest = line->rest;
  rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool given = false;
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintHelp(stdout);
      return 0;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::printf("skav-server %s\n", SKAV_VERSION);
      return 0;
    } else if (std::strcmp(arg, "--remove-addresses") == 0 && argc == 2) {
      line->action = CommandLine::Action::kRemoveAddresses;
      return -1;
    } else if (std::strcmp(arg, "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(arg, "--settings") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "skav-server: --settings needs a file name\n");
        return 2;
      }
      options.settingsFile = argv[++i];
    } else if (std::strncmp(arg, "--settings=", 11) == 0 && arg[11] != '\0') {
      options.settingsFile = arg + 11;
    } else if (const char* value = OptionValue("--forget-after", argc, argv, &i, &given);
               given) {
      if (!ParseCount(value, kMaxForgetAfterSeconds, &options.forgetAfterSeconds)) {
        std::fprintf(stderr, "skav-server: --forget-after needs a number of seconds from 1 to %d\n",
                     kMaxForgetAfterSeconds);
        return 2;
      }
      if (!headlessOnly) headlessOnly = "--forget-after";
    } else if (const char* value = OptionValue("--max-clients", argc, argv, &i, &given); given) {
      if (!ParseCount(value, kMaxLiveClientsLimit, &options.maxClients)) {
        std::fprintf(stderr, "skav-server: --max-clients needs a number from 1 to %d\n",
                     kMaxLiveClientsLimit);
        return 2;
      }
      if (!headlessOnly) headlessOnly = "--max-clients";
    } else if (const char* value = OptionValue("--record", argc, argv, &i, &given); given) {
      if (value[0] == '\0') {
        std::fprintf(stderr, "skav-server: --record needs a file name\n");
        return 2;
      }
      options.recordFile = value;
      if (!headlessOnly) headlessOnly = "--record";
    } else if (const char* value = OptionValue("--metrics", argc, argv, &i, &given); given) {
      if (value[0] == '\0') {
        std::fprintf(stderr, "skav-server: --metrics needs a file name\n");
        return 2;
      }
      if (!PromFileName(value)) {
        std::fprintf(stderr,
                     "skav-server: --metrics needs a file name ending in .prom, the only "
                     "files node_exporter's textfile collector reads ('%s')\n",
                     value);
        return 2;
      }
      options.metricsFile = value;
      if (!headlessOnly) headlessOnly = "--metrics";
    } else if (const char* value = OptionValue("--check-settings", argc, argv, &i, &given);
               given) {
      if (value[0] == '\0') {
        std::fprintf(stderr, "skav-server: --check-settings needs a file name\n");
        return 2;
      }
      checkSettings = value;
    } else if (const char* value = OptionValue("--reload-of", argc, argv, &i, &given); given) {
      if (!ParseCount(value, kMaxPid, &reloadOf)) {
        std::fprintf(stderr, "skav-server: --reload-of needs a process id\n");
        return 2;
      }
    } else if (std::strcmp(arg, "--progress") == 0) {
      options.progress = true;
      if (!headlessOnly) headlessOnly = "--progress";
    } else {
      rest.push_back(argv[i]);
    }
  }

  if (checkSettings != nullptr) {
    if (headless || rest.size() > 1 || headlessOnly || !options.settingsFile.empty()) {
      std::fprintf(stderr,
                   "skav-server: --check-settings takes only --reload-of (see skav-server "
                   "--help)\n");
      return 2;
    }
    line->action = CommandLine::Action::kCheckSettings;
    line->checkSettings = checkSettings;
    line->reloadOf = reloadOf;
    return -1;
  } else if (reloadOf != 0) {
    std::fprintf(stderr, "skav-server: --reload-of is for --check-settings\n");
    return 2;
  }

  if (headless) {
    if (rest.size() > 1) {
      std::fprintf(stderr, "skav-server: unknown argument '%s' (see skav-server --help)\n",
                   rest[1]);
      return 2;
    }
    line->action = CommandLine::Action::kHeadless;
    return -1;
  }
  if (headlessOnly) {
    std::fprintf(stderr, "skav-server: %s is for --headless (see skav-server --help)\n",
                 headlessOnly);
    return 2;
  }
  return -1;
}

void PrintHelp(FILE* out) {
  const std::string file = MachineSettingsFile();
  const std::string folder = file.substr(0, file.rfind('/'));
  std::fprintf(out,
      "Usage: skav-server [--settings FILE]\n"
      "       skav-server --headless [--settings FILE] [--forget-after SECONDS]\n"
      "                              [--max-clients N] [--record FILE] [--progress]\n"
      "                              [--metrics FILE]\n"
      "       skav-server --check-settings FILE [--reload-of PID]\n"
      "       skav-server --remove-addresses\n"
      "       skav-server ctl [--interface IF] status | list | clear | retry-failed | watch\n"
      "       skav-server --help | --version\n"
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
      "  --forget-after SECONDS\n"
      "                   headless: remove a finished device (Done or Error) that\n"
      "                   long after it closed, once its outcome is written, so\n"
      "                   that it is served again when it comes back (1 to\n"
      "                   %d; default: never, as in the window).\n"
      "  --max-clients N  headless: serve at most N devices at once (devices not yet\n"
      "                   finished; each takes a thread); further new devices are\n"
      "                   turned away, with a line a second at most saying how\n"
      "                   many. Default: the \"Max Clients\" value of the settings\n"
      "                   file (set by hand, 1 to %d), else %d.\n"
      "  --record FILE    headless: append one JSON object a line to FILE for every\n"
      "                   device whose outcome the log file gets (the same rules:\n"
      "                   never lost, never twice): its MAC, address, times,\n"
      "                   outcome, each image offered by name, file, size and\n"
      "                   SHA-256, and why it failed. Default: the \"Record Path\"\n"
      "                   value of the settings file (empty: no record). Follow\n"
      "                   it with: tail -F FILE | jq\n"
      "  --progress       headless: every 5 s while devices are being served, print\n"
      "                   \"progress: N in flight, N done, N failed, R KiB/s\" (the\n"
      "                   rate over those 5 s).\n"
      "  --metrics FILE   headless: every 5 s and whenever the server stops, replace\n"
      "                   FILE (a name ending in .prom) with the counters of this\n"
      "                   process in Prometheus's text format, for node_exporter's\n"
      "                   textfile collector: devices done, failed and in flight,\n"
      "                   bytes acknowledged, TFTP packets sent again, new devices\n"
      "                   that got no client, server cycles, each labelled with\n"
      "                   the interface. Put FILE in the folder node_exporter\n"
      "                   reads: --collector.textfile.directory=FOLDER.\n"
      "  --check-settings FILE\n"
      "                   check that the settings in FILE would start a server:\n"
      "                   they read, every image they name loads, and the\n"
      "                   interface they name is there, is claimed by no other\n"
      "                   server and opens; no address is touched. Exit status 0,\n"
      "                   or 1 with the reason on standard error. The units'\n"
      "                   reload runs it before the SIGHUP, so that a reload\n"
      "                   that would be refused fails.\n"
      "  --reload-of PID  with --check-settings: the claim of server PID counts\n"
      "                   as free (the check is for that server's reload).\n"
      "  --remove-addresses\n"
      "                   remove the server address this program put on any\n"
      "                   interface that no running server claims, and exit (the\n"
      "                   package does it when it is removed).\n"
      "  ctl [--interface IF] VERB\n"
      "                   ask the headless server of interface IF on this PC\n"
      "                   (without --interface: the only one running): 'list'\n"
      "                   the servers running here, their state and counts;\n"
      "                   'status' of one (its state and the Device Status\n"
      "                   panel's header line); 'clear' (the window's Clear);\n"
      "                   'retry-failed' (the window's Retry Failed); 'watch'\n"
      "                   its Debug Window lines as they come, until Ctrl-C.\n"
      "                   For members of the group skav; exit status 0 done, 1\n"
      "                   refused (the reason on standard error), 2 no such\n"
      "                   server.\n"
      "  --help           show this text.\n"
      "  --version        show the program's version.\n"
      "\n"
      "Signals (headless): SIGINT, SIGTERM stop the server; SIGUSR1 does what\n"
      "the window's Clear does (Done devices go, Error devices stay until the\n"
      "server stops; with a log file only those already written); SIGUSR2\n"
      "prints the Device Status panel to standard output, then one line per\n"
      "device being served: MAC, address, state, image, DATA blocks acknowledged\n"
      "of total, rate over the last second, time since it came, packets\n"
      "sent again; SIGHUP re-reads the\n"
      "settings and, when they read, every image loads and the interface they\n"
      "name can be served, stops and starts the server with them (otherwise\n"
      "standard error says why and the run goes on). Under systemd the lines go to the journal without CR, errors\n"
      "with priority 3 (journalctl -p err), a device's failure with 4 (-p\n"
      "warning), the rest with 6. A reader that stalls never holds the server\n"
      "up: lines beyond 256 KiB are dropped, and one line then says how many.\n"
      "\n"
      "Interface (headless): the settings must name it (\"Interface Name\");\n"
      "one that is not there is waited for by name, and no other is served.\n"
      "An interface that is down is taken up at the start. While the server\n"
      "runs, it puts 10.0.0.1/8 back when a network manager removes it, and\n"
      "says which manager and how to stop it. When the interface goes away\n"
      "(a pulled USB adapter, a replaced card), the server says so once and\n"
      "stops (every device it served gets its outcome), waits for an\n"
      "interface of that name and starts again on it. A message that repeats\n"
      "meanwhile is shown at most once a minute. A link that only goes down\n"
      "and up keeps its run.\n"
      "\n"
      "Settings: the machine-wide settings live in\n"
      "  %s\n"
      "an INI file with the values \"Interface Name\", \"Region\" (a code, 1 to 9),\n"
      "\"Firmware Path\", \"String Table 1 Path\" to \"String Table 6 Path\",\n"
      "\"Log Enable\" (1 or 0), \"Log Path\" and \"Supervisor Password\" (sealed) in\n"
      "its [General] section, plus \"Record Path\" (see --record; the supervisor\n"
      "sets it in the window: Advanced, Device Record...) and \"Max Clients\" (see\n"
      "--max-clients), which only an administrator sets, by hand. The window\n"
      "saves them when it closes (and keeps \"Max Clients\"); the headless server\n"
      "only reads them. Reading needs no privilege. Writing needs write access\n"
      "to the file and to its folder (the file is written anew beside the old\n"
      "one, with a lock file): root has it.\n"
      "For operators who run the program with file capabilities, once as root:\n"
      "  groupadd --system skav\n"
      "  mkdir -p %s && touch %s\n"
      "  chgrp skav %s %s\n"
      "  chmod 2775 %s && chmod 0664 %s\n"
      "  usermod -aG skav OPERATOR\n"
      "\n"
      "Privileges: capturing frames and setting the server address 10.0.0.1 need\n"
      "CAP_NET_RAW and CAP_NET_ADMIN. Run as root, or give the program file\n"
      "capabilities once, for the members of the skav group only (chown clears\n"
      "capabilities, so it comes first):\n"
      "  chown root:skav $(command -v skav-server)\n"
      "  chmod 0750 $(command -v skav-server)\n"
      "  setcap cap_net_raw,cap_net_admin+eip $(command -v skav-server)\n"
      "The headless server runs in the engine, which takes the same three\n"
      "commands (a skav-server that holds capabilities runs no other engine):\n"
      "  %s\n"
      "With capabilities it keeps only a trusted part of the environment, takes no\n"
      "toolkit options, and loads toolkit plugins only from the system's folder.\n"
      "\n"
      "One server per interface: a running server claims its interface with a\n"
      "lock on a file in %s (one per interface, holding the server's\n"
      "pid), released when it stops or dies; a second server on that interface\n"
      "does not start, and no server removes the server address of another.\n"
      "The folder is made at boot for root and the group 'skav' (after\n"
      "'cmake --install', once as root: systemd-sysusers skav-server.conf &&\n"
      "systemd-tmpfiles --create skav-server.conf). One headless service per\n"
      "interface: systemctl enable --now skav-server@NAME runs\n"
      "  skav-server --headless --settings %s/NAME.conf\n"
      "A headless server listens on a socket beside its claim for skav-server ctl\n"
      "(and a window); the members of skav may attach, nobody else.\n",
      kMaxForgetAfterSeconds, kMaxLiveClientsLimit, kDefaultMaxLiveClients, file.c_str(),
      folder.c_str(), file.c_str(), folder.c_str(), file.c_str(), folder.c_str(), file.c_str(),
      SKAV_ENGINE_PATH, L2_ClaimDir().c_str(), SKAV_INSTANCE_SETTINGS_DIR);
}
