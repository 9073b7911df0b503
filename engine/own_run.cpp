// A window's own engine: its verbs carried out in the order they came, on
// the engine's main thread, with the port supervision the window had.
#include "engine/own_run.h"

#include <errno.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "report/log_file.h"

using remote::FrontType;
using remote::RunState;

namespace {

// How often the loop looks after the port between verbs.
constexpr int kWatchMs = 500;

// Nobody asked for a start the supervisor makes once a port is back: what
// stops it goes to the Debug Window, as the window had it, not into a box.
class DebugWindowErrors : public ErrorSink {
 public:
  explicit DebugWindowErrors(const LogSlot* slot) : slot_(slot) {}
  void Show(const char* text) override { DebugPrint(LogControl(slot_), "[Error] %s\r\n", text); }

 private:
  const LogSlot* slot_;
};

// The item of the interface list that is the link named `name`; -1 when
// there is none (the start then says no interface was chosen).
int ItemOfName(const L2_IfList& list, const std::string& name) {
  for (int i = 0; i < list.count && !name.empty(); ++i) {
    if (name == list.name[i]) return list.count > 1 ? i + 1 : 0;
  }
  return -1;
}

class SessionEndErrors : public ErrorSink {
 public:
  explicit SessionEndErrors(LogFile& log) : log_(log) {}
  void Show(const char* text) override {
    std::fprintf(stderr, "skav-server: %s\n", text);
    std::fflush(stderr);
    LogFileNote(log_, text);
  }

 private:
  LogFile& log_;
};

}  // namespace

OwnRun::OwnRun(FrontHub& hub, OwnRunOptions options)
    : hub_(hub),
      listInterfaces_(std::move(options.listInterfaces)),
      server_(ctx_, std::move(options.linkOps)),
      supervisor_(server_, *this) {
  ctx_.statusCtl = &statusText_;
  ctx_.panel.Set(sortKey, kSortMacUp);
  statusText_.SetListener(&hub_);
  hub_.Watch(&ctx_.panel, &ctx_.progress, &slot_);
}

OwnRun::~OwnRun() {
  StopServer();
  // The front ends' thread reads the panel and the rows until told not to.
  hub_.Watch(nullptr, nullptr, nullptr);
}

int OwnRun::Serve(int signalFd) {
  while (!hub_.FrontEndGone()) {
    Publish();
    pollfd wait[3] = {{signalFd, POLLIN, 0},
                      {supervisor_.WatchFd(), POLLIN, 0},
                      {hub_.Requests().fd(), POLLIN, 0}};
    const int ready = poll(wait, 3, kWatchMs);
    if (ready < 0 && errno != EINTR) break;
    supervisor_.Tick();
    if (ready > 0 && (wait[0].revents & POLLIN) != 0) {
      // A session that ends (a logout, a shutdown) ends the run as a close.
      signalfd_siginfo info;
      if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) break;
    }
    FrontRequest r;
    bool gone = false;
    while (!gone && hub_.Requests().Pop(&r)) {
      gone = r.gone;
      if (!gone) Do(r);
    }
    if (gone) break;
  }
  Close();
  return 0;
}

void OwnRun::Do(const FrontRequest& r) {
  const remote::FrontMessage& m = r.message;
  switch (m.type) {
    case FrontType::kStart: {
      if (server_.Running()) return hub_.Answer(r, false, "the server is running already");
      order_ = m.start;
      supervisor_.StopWaiting();
      MatchLogFile(order_.logEnabled, order_.logPath);
      const bool started = StartServer();
      if (!started) StopServer();
      return hub_.Answer(r, started, started ? "" : "the server did not start; its messages say why");
    }
    case FrontType::kStop:
      if (!server_.Running() && supervisor_.Waiting()) {
        // Stop while the run waits for its port ends the wait.
        supervisor_.StopWaiting();
        DebugPrint(LogControl(&slot_),
                   "The wait for the network interface '%s' was ended by the operator.\r\n",
                   server_.InterfaceName().c_str());
        Publish();
        return hub_.Answer(r, true);
      }
      supervisor_.StopWaiting();
      StopServer();
      return hub_.Answer(r, true);
    case FrontType::kClear:
      OnClearStatus(ctx_.panel);
      break;
    case FrontType::kSort:
      if (!OnSortButton(ctx_.panel, m.sortKey)) return hub_.Answer(r, true);
      break;
    case FrontType::kRetryFailed:
      OnRetryFailed(ctx_.panel);
      break;
    case FrontType::kLogFile: {
      // As the window's box and "Open...": a path given anew is opened
      // anew, replacing the open file.
      order_.logEnabled = m.enabled;
      order_.logPath = m.path;
      if (!m.enabled) {
        CloseLogFile(ctx_.logFile);
        return hub_.Answer(r, true);
      }
      const bool open = OpenLogFile(ctx_.logFile, m.path);
      return hub_.Answer(r, open, open ? "" : "the log file cannot be opened");
    }
    case FrontType::kLogNote: {
      const bool held = LogFileNote(ctx_.logFile, m.path) == 1;
      return hub_.Answer(r, held, held ? "" : "no log file is kept");
    }
    case FrontType::kBanner: {
      const bool written = LogFileBanner(ctx_.logFile, m.banner) == 1;
      return hub_.Answer(r, written, written ? "" : "no log file is open");
    }
    case FrontType::kRecordFile:
      // Devices already written stay in the old file; the others go to
      // the new one, each once.
      order_.recordPath = m.path;
      if (server_.Running()) OpenRecordFile(ctx_.recordFile, order_.recordPath);
      return hub_.Answer(r, true);
    default:
      return hub_.Answer(r, false, std::string("an engine started by a window takes no ") +
                                       remote::FrontTypeName(m.type));
  }
  // The buttons' requests are served at once, not at the next cycle.
  if (server_.Running()) L2_BreakLoop(server_.Link());
  hub_.Answer(r, true);
}

void OwnRun::MatchLogFile(bool enabled, const std::string& path) {
  if (!enabled) {
    CloseLogFile(ctx_.logFile);
    return;
  }
  std::string kept;
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    kept = ctx_.logFile.path;
  }
  if (kept != path) OpenLogFile(ctx_.logFile, path);
}

bool OwnRun::StartServer(bool resume) {
  ifList_ = L2_IfList{};
  if (listInterfaces_) listInterfaces_(&ifList_);
  StartRequest request;
  request.resume = resume;
  request.firmwarePath = order_.firmwarePath;
  for (int k = 0; k < 6; ++k) request.stringTablePaths[k] = order_.stringTablePaths[k];
  request.interfaces = &ifList_;
  request.interfaceItem = ItemOfName(ifList_, order_.interfaceName);
  request.regionCode = order_.regionCode;
  request.maxLiveClients = static_cast<int32_t>(order_.maxClients);
  request.logSlot = &slot_;
  // As the window did: opened for the run (a file that cannot be opened
  // is said now, and the server thread keeps trying it), closed at the stop.
  OpenRecordFile(ctx_.recordFile, order_.recordPath);
  if (!server_.Start(request)) return false;
  hub_.Images(ctx_.imageFacts);
  return true;
}

bool OwnRun::StartRun() {
  DebugWindowErrors errors(&slot_);
  ErrorSink* const before = SetErrorSink(&errors);
  const bool started = StartServer(true);
  SetErrorSink(before);
  if (started) return true;
  StopServer();
  // The supervisor waits again, and tries again in a while.
  return false;
}

void OwnRun::StopServer(bool keepClients) {
  if (server_.Running()) hub_.SetState(RunState::kStopping, server_.InterfaceName());
  server_.Stop(keepClients);
  CloseRecordFile(ctx_.recordFile);
  const std::string lost = server_.TakeUnwrittenOutcomes();
  if (!lost.empty()) {
    if (hub_.FrontEndGone()) {
      // Nobody is there to show them a box.
      std::fprintf(stderr,
                   "skav-server: These outcomes could not be written to their files; keep this "
                   "copy:\n%s",
                   lost.c_str());
    } else {
      hub_.Unwritten(lost);
    }
  }
  Publish();
}

void OwnRun::Tell(PortNews news, const std::string& text) {
  std::string sentence = text;
  if (!sentence.empty()) sentence[0] = static_cast<char>(std::toupper(sentence[0]));
  DebugPrint(LogControl(&slot_), "%s.\r\n", sentence.c_str());
  hub_.Told(news, text);
}

void OwnRun::Publish() {
  if (server_.Running()) {
    hub_.SetState(server_.HasLink() ? RunState::kRunning : RunState::kNoLink,
                  server_.InterfaceName());
  } else if (supervisor_.Waiting()) {
    hub_.SetState(RunState::kWaitingForPort, supervisor_.Awaited());
  } else {
    hub_.SetState(RunState::kStopped, order_.interfaceName);
  }
}

void OwnRun::Close() {
  // Nobody answers a box any more once the window is gone: what it would
  // have shown goes to standard error and into the log file, as the
  // window's own session end had it.
  SessionEndErrors errors(ctx_.logFile);
  ErrorSink* const before = hub_.FrontEndGone() ? SetErrorSink(&errors) : nullptr;
  supervisor_.StopWaiting();
  StopServer();
  CloseLogFile(ctx_.logFile);
  if (hub_.FrontEndGone()) SetErrorSink(before);
}
