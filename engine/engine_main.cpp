// skav-engine: everything a run needs and the network capabilities it
// takes, without any toolkit. skav-server runs it: with the server options
// (--headless, --check-settings, --remove-addresses, unchanged), or with
// --front-end FD for a window that started it for itself.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/descriptor_limit.h"
#include "console/headless/command_line.h"
#include "console/privileged_start.h"
#include "console/settings/settings_store.h"
#include "engine/front_hub.h"
#include "engine/own_run.h"
#include "engine/service_tap.h"
#include "link/if_list.h"

namespace {

// A descriptor number given on the command line, naming a stream socket
// this process inherited; -1 otherwise.
int InheritedSocket(const char* text) {
  char* end = nullptr;
  const long fd = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || fd < 3 || fd > 1023) return -1;
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
      type != SOCK_STREAM) {
    return -1;
  }
  return static_cast<int>(fd);
}

// The engine of one window, on the socket it inherited.
int ServeWindow(int fd, const PrivilegedStart& start) {
  // The session's end comes as a signal, taken from a descriptor; blocked
  // before any thread starts, so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::fprintf(stderr, "skav-server: cannot wait for signals: %s\n", std::strerror(errno));
    return 1;
  }
  FrontHub hub(remote::EngineMode::kOwn);
  if (start.privileged) hub.Greet(ReducedEnvironmentLine(start.droppedVariables));
  int status = 0;
  {
    OwnRun run(hub);
    hub.Adopt(fd);
    hub.Start();
    SetErrorSink(&hub);
    status = run.Serve(signalFd);
  }
  SetErrorSink(nullptr);
  close(signalFd);
  return status;
}

// A bench's headless server, with its socket for front ends.
int ServeBench(HeadlessOptions options, const PrivilegedStart& start) {
  FrontHub hub(remote::EngineMode::kService);
  ServiceTap tap(hub, options.settingsFile);
  // Bound before the run starts, so that a front end finds the bench as
  // soon as it says it runs; it follows the port the run serves.
  const std::string port = LoadInterfaceName(options.settingsFile);
  if (!port.empty()) {
    std::string why;
    if (!hub.Listen(port, &why))
      std::fprintf(stderr, "skav-server: front ends cannot attach to this bench: %s\n",
                   why.c_str());
    hub.SetState(remote::RunState::kStopped, port);
  }
  options.tap = &tap;
  const int status = RunHeadless(options, start);
  // What the front ends still attached learn last, before the socket goes.
  hub.SetState(remote::RunState::kStopped, {});
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything reads the environment.
  PrivilegedStart start;
  if (!StartTrusted(&start)) return 1;

  if (argc == 3 && std::strcmp(argv[1], "--front-end") == 0) {
    const int fd = InheritedSocket(argv[2]);
    if (fd < 0) {
      std::fprintf(stderr, "skav-engine: --front-end needs the number of an inherited socket\n");
      return 2;
    }
    RaiseDescriptorLimit();
    return ServeWindow(fd, start);
  }

  CommandLine line;
  const int status = ReadCommandLine(argc, argv, &line);
  if (status >= 0) return status;
  switch (line.action) {
    case CommandLine::Action::kRemoveAddresses:
      if (L2_ClearIfAddrs() != 0 || L2_LastIfAddrError()[0] != '\0') {
        std::fprintf(stderr, "skav-server: the server addresses were not all removed: %s\n",
                     L2_LastIfAddrError());
        return 1;
      }
      return 0;
    case CommandLine::Action::kCheckSettings:
      return CheckSettings(line.checkSettings, line.reloadOf);
    case CommandLine::Action::kHeadless:
      // Each device in transfer holds a socket: the run may use every
      // descriptor the hard limit allows.
      RaiseDescriptorLimit();
      return ServeBench(line.options, start);
    case CommandLine::Action::kWindow:
      break;
  }
  std::fprintf(stderr, "skav-engine: runs no window; the window is skav-server's\n");
  return 2;
}
