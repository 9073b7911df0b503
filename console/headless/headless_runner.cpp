// The headless runner: the window's start sequence from the stored
// settings, Debug Window text on standard output, messages on standard
// error, and the operator's buttons as signals: SIGINT or SIGTERM stop,
// SIGUSR1 clears, SIGUSR2 shows the panel, SIGHUP reloads the settings.
// It serves only the interface its settings name, waiting for it by name
// when it is not there; the shared supervisor keeps the server address on
// it and outlives a pulled adapter.
// With --metrics it keeps a file of its counters for a monitoring system.
#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "console/headless/front_ends.h"
#include "console/headless/headless_output.h"
#include "console/headless/metrics_file.h"
#include "console/headless/metrics_text.h"
#include "console/headless/run_tap.h"
#include "report/held_lines.h"
#include "report/log_file.h"
#include "console/progress_text.h"
#include "console/run_supervisor.h"
#include "console/server_control.h"
#include "console/settings/plain_controls.h"
#include "console/settings/settings_store.h"
#include "report/status_panel.h"
#include "link/if_list.h"
#include "protocol/server_thread.h"
#include "report/debug_print.h"
#include "transfer/upload_images.h"

namespace {

// How often the runner looks after its interface between signals.
constexpr int kWatchMs = 500;
// How often --progress sums the run up.
constexpr int64_t kSummaryMs = 5000;
// Before the outcome lines that a stop could not write to their files.
const std::string kUnwrittenIntro =
    "skav-server: these outcomes could not be written to their files; keep this copy:\n";
// How often --metrics writes its file while the program runs.
constexpr int64_t kMetricsMs = 5000;

// The Debug Window is always open here: each text goes out at once, in
// one write (at most 511 bytes, so a pipe never splits it).
class StdoutLogSink : public LogSink {
 public:
  explicit StdoutLogSink(const HeadlessStream& out) : out_(out) {}
  void Append(const char* text, size_t len) override { out_.Write(text, len); }
  void AppendNoted(const char* text, size_t len, LineNote note) override {
    out_.Write(text, len, false, note);
  }

 private:
  const HeadlessStream& out_;
};

// Nobody can dismiss a message box: the message goes out and the caller
// goes on.
class StderrErrorSink : public ErrorSink {
 public:
  explicit StderrErrorSink(const HeadlessStream& err) : err_(err) {}
  void Show(const char* text) override {
    char line[512 + 1];
    const size_t n = strnlen(text, 511);
    std::memcpy(line, text, n);
    line[n] = '\n';
    err_.Write(line, n + 1, true);
  }

 private:
  const HeadlessStream& err_;
};

class HeadlessControls : public PlainControls {
 public:
  HeadlessControls(const L2_IfList& interfaces, LogFile& logFile)
      : PlainControls(interfaces), logFile_(logFile) {}
  bool OpenLogFile() override { return ::OpenLogFile(logFile_, LogPath()); }
  // The run waits for its port by name, or refuses one it cannot capture
  // on, in its own words.
  void InterfaceNotListed(const std::string&) override {}

 private:
  LogFile& logFile_;
};

// The item of the "Network Interface:" list that is interface `name`,
// -1 when the list has none of that name.
int ItemOf(const L2_IfList& list, const std::string& name) {
  for (int i = 0; i < list.count; ++i) {
    if (name == list.description[i]) return list.count > 1 ? i + 1 : 0;
  }
  return -1;
}

// Why the file a run would append `what`'s lines to cannot take them;
// empty when it can. Opened as the run opens it, so a missing file is
// created.
std::string Unwritable(const char* what, const std::string& path) {
  std::string why;
  const int fd = OpenAppendFile(path, &why);
  if (fd >= 0) {
    close(fd);
    return {};
  }
  return std::string("the ") + what + " '" + path + "' cannot be opened: " + why;
}

// The trial of a reload and of --check-settings, on nothing a run uses:
// the settings in `settingsFile`, every image they name, the log file and
// the record (`record` when given, else theirs) and the interface they
// name. A claim of that interface by `servedPort`'s own run, or by the
// process `holder`, stands aside: it is the run the settings are for.
// Empty when all of it would start; otherwise why not.
std::string TrySettings(const std::string& settingsFile, const std::string& record,
                        const std::string& servedPort, pid_t holder) {
  L2_IfList interfaces;
  L2_ListIf(&interfaces);
  // Controls that open no log file: the file of a run stays until the
  // run is replaced.
  PlainControls trial(interfaces);
  if (LoadSettings(trial, settingsFile) == 0) return "the settings cannot be read";
  {
    StartRequest request;
    request.firmwarePath = trial.FirmwarePath();
    for (int k = 0; k < 6; ++k) request.stringTablePaths[k] = trial.StringTablePath(k + 1);
    UploadImages images;
    const bool loaded = LoadRequestImages(request, images);
    FreeUploadImages(images);
    if (!loaded) return "an image they name cannot be loaded";
  }
  // A run would keep such files and hold their lines until they open; a
  // reload takes no settings whose lines could go nowhere.
  if (trial.LogEnabled() && !trial.LogPath().empty()) {
    const std::string why = Unwritable("log file", trial.LogPath());
    if (!why.empty()) return why;
  }
  const std::string recordPath = record.empty() ? trial.RecordPath() : record;
  if (!recordPath.empty()) {
    const std::string why = Unwritable("record file", recordPath);
    if (!why.empty()) return why;
  }
  const std::string port = LoadInterfaceName(settingsFile);
  if (port.empty()) return "they name no network interface";
  const int item = ItemOf(interfaces, port);
  if (if_nametoindex(port.c_str()) == 0 || item < 0)
    return "the network interface '" + port + "' they name is not there";
  // Also for the port being served: its start puts the address there anew.
  if (L2_CheckIfAddr(port.c_str(), "10.0.0.1", "255.0.0.0") != 0)
    return "the server address cannot be put on the network interface '" + port +
           "': " + L2_LastIfAddrError();
  if (port == servedPort) return {};
  L2_IfClaim claim;
  switch (claim.Take(port.c_str())) {
    case L2_IfClaim::Result::kClaimed:
      break;
    case L2_IfClaim::Result::kTaken:
      if (holder > 0 && claim.holder() == holder) break;
      return "the network interface '" + port + "' is already served by skav-server (pid " +
             std::to_string(claim.holder()) + ")";
    case L2_IfClaim::Result::kFailed:
      return "the network interface '" + port + "' cannot be claimed: " + claim.reason();
  }
  // A port that is down is taken up by the start; one that is up must
  // open now.
  const unsigned flags = L2_IfFlags(port.c_str());
  if ((flags & IFF_UP) != 0) {
    char errorText[256] = "";
    const int entry = interfaces.count > 1 ? item - 1 : 0;
    L2_If* link = L2_Open(interfaces.name[entry], interfaces.description[entry], errorText);
    if (link == nullptr)
      return "the network interface '" + port + "' cannot be opened: " + errorText;
    L2_Close(link);
  }
  return {};
}

// A run of the server and everything its start reads: the settings, the
// interface list and the signals that drive it.
class HeadlessRun : public RunFront, public RunRequests {
 public:
  HeadlessRun(const HeadlessOptions& options, const HeadlessStream& out,
              const HeadlessStream& err, RepeatGate& gate)
      : options_(options), out_(out), err_(err), gate_(gate), logSink_(out),
        logSlot_(options.tap ? options.tap->TeeLog(&logSink_) : &logSink_), server_(ctx_),
        supervisor_(server_, *this) {
    ctx_.statusCtl = &statusText_;
    ctx_.panel.Set(sortKey, kSortMacUp);
    ctx_.forgetAfterMs = static_cast<int64_t>(options.forgetAfterSeconds) * 1000;
    statusText_.SetListener(options.tap ? options.tap->TeePanel(&panel_) : &panel_);
    ctx_.progress.wanted = true;
    if (options.tap) options.tap->Wire(ctx_);
  }
  ~HeadlessRun() {
    StopServer();
    CloseLogFile(ctx_.logFile);
    CloseRecordFile(ctx_.recordFile);
    // The front ends' thread reads the panel and the rows until told not to.
    if (options_.tap) options_.tap->Unwire();
  }

  /// Reads the settings (opening the log file they name) and starts the
  /// server on the interface they name, or waits for that interface when
  /// it is not there. false when it could not start, after its messages.
  /// `resume`: after a lost port (see StartRequest::resume).
  bool Start(bool resume = false) {
    supervisor_.StopWaiting();
    L2_ListIf(&interfaces_);
    HeadlessControls controls(interfaces_, ctx_.logFile);
    const std::string where = SettingsPath();
    struct stat st;
    if (stat(where.c_str(), &st) != 0 && errno == ENOENT)
      Note("skav-server: no settings stored in '%s'; using the defaults\n", where.c_str());
    if (!LoadSettings(controls, options_.settingsFile))
      ErrorBox("Fail to retrieve previous user configurations, use the default settings");
    // Nobody is there to see which port a guess would take: a device of
    // another segment flashed is worse than none served.
    const std::string port = LoadInterfaceName(options_.settingsFile);
    if (port.empty()) {
      Note("skav-server: the settings in '%s' name no network interface; put "
           "\"Interface Name=IF\" in their [General] section (headless, the server serves "
           "only the interface its settings name)\n",
           where.c_str(), true);
      return false;
    }
    const std::string record =
        options_.recordFile.empty() ? controls.RecordPath() : options_.recordFile;
    OpenRecordFile(ctx_.recordFile, record);
    if (if_nametoindex(port.c_str()) == 0) {
      supervisor_.AwaitPort(port);
      return true;
    }
    StartRequest request = Request(controls);
    request.resume = resume;
    request.interfaceItem = ItemOf(interfaces_, port);
    if (request.interfaceItem < 0) {
      Note("skav-server: the network interface '%s' that the settings name is no Ethernet "
           "port the server can capture on\n",
           port.c_str(), true);
      return false;
    }
    const MetricsValues before = ReadMetrics(ctx_.counters, false);
    if (!server_.Start(request)) return false;
    if (!resume) runBase_ = TallySince(ctx_.counters, {});
    gate_.SetOn(false);
    // Another interface is another series: its counts begin with its run.
    if (server_.InterfaceName() != metricsInterface_) {
      if (!metricsInterface_.empty()) metricsBase_ = before;
      metricsInterface_ = server_.InterfaceName();
    }
    WriteMetrics();
    return true;
  }

  /// SIGHUP. The current run goes on untouched unless the settings read,
  /// every image they name loads and the interface they name can be
  /// served by this server; then it stops and starts again with them.
  /// false only when that new start failed.
  bool Reload() override {
    const std::string where = SettingsPath();
    Note("skav-server: Hangup, reloading the settings from '%s'\n", where.c_str());
    // Nothing runs while a port is awaited: the new settings may name
    // the port that was mistyped.
    if (!supervisor_.Waiting()) {
      const std::string why =
          TrySettings(options_.settingsFile, options_.recordFile,
                      server_.Running() ? server_.InterfaceName() : "", 0);
      if (!why.empty()) {
        Note("skav-server: %s\n", why.c_str());
        Note("skav-server: the settings in '%s' were not taken; the server goes on as "
             "it was\n",
             where.c_str());
        return true;
      }
    }
    StopServer();
    // The new settings decide whether a log file is kept, and which.
    CloseLogFile(ctx_.logFile);
    CloseRecordFile(ctx_.recordFile);
    return Start();
  }

  /// SIGUSR1: what the window's Clear does.
  void Clear() override {
    OnClearStatus(ctx_.panel);
    if (server_.Running()) L2_BreakLoop(server_.Link());
  }

  /// SIGUSR2: the Device Status panel on standard output.
  void ShowPanel() {
    const int64_t now = SteadyMs();
    const std::vector<ProgressRow> rows = ctx_.progress.Rows();
    rate_.Sample(rows, now);
    out_.Write(GUIStatusRows(panel_.Text()) + ProgressListing(rows, rate_, now));
  }

  /// Each wake-up of the loop (at least twice a second): a reading of every
  /// client's bytes, for the listing's rate over the last second.
  void SampleRates() { rate_.Sample(ctx_.progress.Rows(), SteadyMs()); }

  /// --progress: every 5 s while devices are being served, one summary.
  void Progress() {
    if (!options_.progress) return;
    const int64_t now = SteadyMs();
    if (now - lastSummaryMs_ < kSummaryMs) return;
    ProgressCounts counts = CountProgress(ctx_.progress.Rows());
    // Every outcome the run wrote, also of devices Clear took off the list.
    const OutcomeTally tally = TallySince(ctx_.counters, runBase_);
    counts.done = static_cast<int>(tally.done);
    counts.failed = static_cast<int>(tally.failed);
    if (counts.inFlight > 0) out_.Write(ProgressSummary(counts, lastBytes_, now - lastSummaryMs_));
    lastSummaryMs_ = now;
    lastBytes_ = counts.bytes;
  }

  /// --metrics: the file written anew every 5 s.
  void Metrics() {
    if (SteadyMs() - lastMetricsMs_ >= kMetricsMs) WriteMetrics();
  }

  /// Each wake-up: the supervisor looks after the port and its address.
  void Watch() { supervisor_.Tick(); }
  int WatchFd() const { return supervisor_.WatchFd(); }

  // What a front end attached to the bench asks, beside the signals.
  void Sort(int32_t key) override {
    if (OnSortButton(ctx_.panel, key) && server_.Running()) L2_BreakLoop(server_.Link());
  }
  void RetryFailed() override {
    OnRetryFailed(ctx_.panel);
    if (server_.Running()) L2_BreakLoop(server_.Link());
  }
  void Stop() override {
    supervisor_.StopWaiting();
    StopServer();
  }
  bool StartFromSettings() override { return Start(); }
  /// Each wake-up: the tap learns where the run stands and carries out
  /// what the front ends ask. False when a request ended the program.
  bool Tap() {
    if (!options_.tap) return true;
    options_.tap->Facts({server_.Running(), supervisor_.Awaited(), server_.InterfaceName()});
    return options_.tap->Serve(*this);
  }
  int TapFd() const { return options_.tap ? options_.tap->RequestFd() : -1; }

  bool StartRun() override { return Start(true); }
  void StopRun() override { StopServer(true); }
  void Tell(PortNews news, const std::string& text) override {
    if (options_.tap) options_.tap->Told(news, text);
    Note("skav-server: %s\n", text.c_str(), news == PortNews::kGone);
    // Each attempt says the same until it works: once a minute is enough.
    if (news == PortNews::kWaiting || news == PortNews::kGone) gate_.SetOn(true);
  }

 private:
  // Wherever a run ends, the file gets its final counts.
  void StopServer(bool keepClients = false) {
    if (options_.tap && server_.Running()) options_.tap->Stopping();
    server_.Stop(keepClients);
    WriteMetrics();
    // In full, so that the line can still copy what the files never got.
    const std::string lost = server_.TakeUnwrittenOutcomes();
    if (!lost.empty()) err_.Write(kUnwrittenIntro + lost, true);
    if (!lost.empty() && options_.tap) options_.tap->Unwritten(lost);
  }

  // The counters since the latest run's interface was first served, under
  // its name; nothing before any run has started. A file that cannot be
  // written is said once until it can again; the run goes on regardless.
  void WriteMetrics() {
    lastMetricsMs_ = SteadyMs();
    if (options_.metricsFile.empty() || metricsInterface_.empty()) return;
    const MetricsValues values =
        MetricsSince(ReadMetrics(ctx_.counters, server_.Running()), metricsBase_);
    const std::string why =
        ReplaceFileAtomically(options_.metricsFile, MetricsText(values, metricsInterface_));
    if (why.empty() || metricsFailing_) {
      metricsFailing_ = !why.empty();
      return;
    }
    metricsFailing_ = true;
    err_.Write("skav-server: cannot write the metrics file '" + options_.metricsFile + "': " +
                   why + "; it is tried again every 5 s\n",
               true);
  }

  std::string SettingsPath() const {
    return options_.settingsFile.empty() ? MachineSettingsFile() : options_.settingsFile;
  }

  StartRequest Request(const PlainControls& controls) const {
    StartRequest request;
    request.firmwarePath = controls.FirmwarePath();
    for (int k = 0; k < 6; ++k) request.stringTablePaths[k] = controls.StringTablePath(k + 1);
    request.interfaces = &interfaces_;
    request.interfaceItem = controls.InterfaceSelection();
    request.regionCode = controls.SelectedRegionCode();
    request.maxLiveClients = options_.maxClients > 0 ? options_.maxClients
                                                     : LoadMaxClients(options_.settingsFile);
    request.logSlot = &logSlot_;
    return request;
  }

  void Note(const char* format, const char* text, bool error = false) const {
    char line[1024];
    const int n = std::snprintf(line, sizeof line, format, text);
    if (n > 0) err_.Write(line, std::min(static_cast<size_t>(n), sizeof line - 1), error);
  }

  const HeadlessOptions& options_;
  const HeadlessStream& out_;
  const HeadlessStream& err_;
  RepeatGate& gate_;
  StdoutLogSink logSink_;
  LogSlot logSlot_;
  L2_IfList interfaces_;
  SKAVDContext ctx_;
  StatusText statusText_;
  StatusTextMirror panel_;
  ServerControl server_;
  RunSupervisor supervisor_;
  int64_t lastSummaryMs_ = SteadyMs();
  uint64_t lastBytes_ = 0;
  OutcomeTally runBase_;  // the outcome counters as the run began
  RecentRate rate_;
  int64_t lastMetricsMs_ = SteadyMs();
  bool metricsFailing_ = false;      // said once; quiet until it works again
  std::string metricsInterface_;     // the label; empty before any run
  MetricsValues metricsBase_;        // the counts when it became the label
};

}  // namespace

int RunHeadless(const HeadlessOptions& options, const PrivilegedStart& start) {
  // The signals are taken from a descriptor that this thread waits on, so
  // nothing runs in a handler; blocked before any thread starts, so every
  // thread inherits the mask and none of them takes a signal instead.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A reader that went away must not end the server.
  signal(SIGPIPE, SIG_IGN);

  const char* journal = std::getenv("JOURNAL_STREAM");
  RepeatGate gate;
  // Standard output connected to the journal by systemd (the stream it
  // names in JOURNAL_STREAM, which it sets for a service and which a
  // privileged start keeps) sends entries of their own, with fields to
  // filter on. Nothing else of systemd's environment is needed for that:
  // the capabilities of the packaged units trim the rest.
  const bool toJournal = IsJournalStream(STDOUT_FILENO, journal);
  const HeadlessStream out(STDOUT_FILENO, toJournal, &gate, toJournal);
  const HeadlessStream err(STDERR_FILENO, IsJournalStream(STDERR_FILENO, journal), &gate);

  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    const std::string why = std::string("skav-server: cannot wait for signals: ") +
                            std::strerror(errno) + "\n";
    err.Write(why, true);
    return 1;
  }

  if (start.privileged) out.Write(ReducedEnvironmentLine(start.droppedVariables));
  StderrErrorSink errorSink(err);
  SetErrorSink(options.tap ? options.tap->TeeErrors(&errorSink) : &errorSink);
  int status = 0;
  {
    HeadlessRun run(options, out, err, gate);
    bool running = run.Start();
    if (!running) status = 1;
    while (running) {
      if (!run.Tap()) {
        status = 1;
        break;
      }
      // A descriptor of -1 is left out by poll.
      pollfd wait[3] = {
          {signalFd, POLLIN, 0}, {run.WatchFd(), POLLIN, 0}, {run.TapFd(), POLLIN, 0}};
      const int ready = poll(wait, 3, kWatchMs);
      if (ready < 0 && errno != EINTR) break;
      run.SampleRates();
      run.Progress();
      run.Metrics();
      run.Watch();
      if (ready <= 0 || (wait[0].revents & POLLIN) == 0) continue;
      signalfd_siginfo info;
      const ssize_t n = read(signalFd, &info, sizeof info);
      if (n != static_cast<ssize_t>(sizeof info)) {
        if (n < 0 && errno == EINTR) continue;
        break;
      }
      const int signo = static_cast<int>(info.ssi_signo);
      if (signo == SIGUSR1) {
        run.Clear();
      } else if (signo == SIGUSR2) {
        run.ShowPanel();
      } else if (signo == SIGHUP) {
        if (!run.Reload()) {
          status = 1;
          running = false;
        }
      } else {
        const std::string line = std::string("skav-server: ") + strsignal(signo) +
                                 ", stopping\n";
        err.Write(line);
        running = false;
      }
    }
  }
  SetErrorSink(nullptr);
  close(signalFd);
  return status;
}

int CheckSettings(const std::string& settingsFile, pid_t holder) {
  const HeadlessStream err(STDERR_FILENO, false);
  StderrErrorSink errorSink(err);
  SetErrorSink(&errorSink);
  const std::string why = TrySettings(settingsFile, "", "", holder);
  SetErrorSink(nullptr);
  if (!why.empty()) {
    err.Write("skav-server: the settings in '" + settingsFile + "' cannot be served: " + why +
                  "\n",
              true);
    return 1;
  }
  std::printf("skav-server: the settings in '%s' can be served\n", settingsFile.c_str());
  return 0;
}
