// The verbs of skav-server ctl over the engine's socket protocol: find the
// bench, attach, ask, print what it answers.
#include "console/ctl/ctl.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "remote/bench_socket.h"
#include "remote/engine_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using remote::EngineClient;

// How long a bench has to answer before ctl gives up on it.
constexpr auto kAnswerLimit = std::chrono::seconds(10);

const char kUsage[] =
    "usage: skav-server ctl [--interface IF] status | list | clear | retry-failed | watch\n";

void Say(const std::string& text) { std::fprintf(stderr, "skav-server ctl: %s\n", text.c_str()); }

// What one bench said, gathered as it comes.
class Answers : public remote::EngineEvents {
 public:
  void OnHello(const remote::EngineHello& hello) override {
    this->hello = hello;
    helloSeen = true;
  }
  void OnState(const remote::StateNews& s) override {
    state = s;
    stateSeen = true;
  }
  void OnPanel(const remote::PanelNews& news) override {
    remote::ApplyPanel(panel, news);
    panelSeen = true;
  }
  void OnReply(const remote::Reply& r) override {
    if (r.seq != awaited) return;
    reply = r;
    replied = true;
  }
  void OnText(const remote::TextPiece& piece) override {
    if (!watching) return;
    // A terminal's lines end in LF alone.
    std::string text = piece.text;
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void OnMissed(const remote::Missed& m) override {
    if (!watching || m.texts == missedTexts) return;
    std::fflush(stdout);
    Say(std::to_string(m.texts - missedTexts) + " lines were dropped: this terminal did not "
        "take them in time");
    missedTexts = m.texts;
  }
  void OnClosed(const std::string& why) override { reason = why; }

  remote::EngineHello hello;
  remote::StateNews state;
  std::string panel;
  remote::Reply reply;
  std::string reason;
  uint32_t awaited = 0;
  uint64_t missedTexts = 0;
  bool helloSeen = false, stateSeen = false, panelSeen = false, replied = false;
  bool watching = false;
};

// Pumps until `done` holds: false (with the reason in `answers`) when the
// bench went or did not answer in time.
template <typename Done>
bool Await(EngineClient& client, Answers& answers, Done done) {
  const Clock::time_point limit = Clock::now() + kAnswerLimit;
  while (!done()) {
    if (!client.Pump(answers, 100)) return false;
    if (Clock::now() > limit) {
      answers.reason = "the bench did not answer within 10 s";
      return false;
    }
  }
  return true;
}

struct Bench {
  std::string port;
  std::unique_ptr<EngineClient> client;
  Answers answers;
};

// Attaches to the bench of `port` and waits for its state. The exit
// status: done, refused (the reason said), or no such bench.
int Attach(const std::string& port, Bench* bench) {
  bench->port = port;
  std::string why;
  bench->client = EngineClient::AttachBench(port, &why);
  if (!bench->client) {
    Say(why);
    return why.find("no access") != std::string::npos ? kCtlRefused : kCtlNoBench;
  }
  Answers& a = bench->answers;
  if (!Await(*bench->client, a, [&] { return a.helloSeen && a.stateSeen; })) {
    Say("the bench on " + port + ": " + a.reason);
    return kCtlRefused;
  }
  return kCtlDone;
}

// The live benches of this namespace; the exit status when there is
// nothing to go on with.
int FindBenches(std::vector<std::string>* ports) {
  std::string why;
  if (!remote::ListBenchSockets(ports, &why)) {
    Say(why);
    return kCtlRefused;
  }
  return kCtlDone;
}

std::string Counts(const remote::StateNews& s) {
  char text[128];
  std::snprintf(text, sizeof text, "%7d %6d %6d %10d", s.total, s.errorCount, s.doneCount,
                s.reworkingCount);
  return text;
}

// Every bench of this namespace, or the one named.
int List(const std::string& named) {
  std::vector<std::string> ports;
  if (const int status = FindBenches(&ports); status != kCtlDone) return status;
  if (!named.empty()) ports = {named};
  std::vector<std::unique_ptr<Bench>> live;
  int status = kCtlDone;
  for (const std::string& port : ports) {
    auto bench = std::make_unique<Bench>();
    bench->port = port;
    std::string why;
    bench->client = EngineClient::AttachBench(port, &why);
    // A socket nobody answers on was left by an engine that ended.
    if (!bench->client) continue;
    Answers& a = bench->answers;
    if (!Await(*bench->client, a, [&] { return a.helloSeen && a.stateSeen; })) {
      Say("the bench on " + port + ": " + a.reason);
      status = kCtlRefused;
      continue;
    }
    live.push_back(std::move(bench));
  }
  if (live.empty() && !named.empty()) {
    if (status == kCtlDone) Say("no bench server runs on " + named + " here");
    return status == kCtlDone ? kCtlNoBench : status;
  }
  if (live.empty()) {
    if (status == kCtlDone) std::printf("No bench server runs here.\n");
    return status;
  }
  std::printf("%-16s %-28s %7s %6s %6s %10s %8s\n", "INTERFACE", "STATE", "DEVICES", "ERROR",
              "DONE", "REWORKING", "PID");
  for (const auto& b : live) {
    std::printf("%-16s %-28s %s %8u\n", b->port.c_str(),
                remote::RunStateText(b->answers.state).c_str(),
                Counts(b->answers.state).c_str(), b->answers.hello.pid);
  }
  return status;
}

// The bench a verb is for: the one named, or the only one running.
int Choose(const std::string& named, Bench* bench) {
  if (!named.empty()) return Attach(named, bench);
  std::vector<std::string> ports;
  if (const int status = FindBenches(&ports); status != kCtlDone) return status;
  std::vector<std::string> live;
  for (const std::string& port : ports) {
    std::string why;
    if (EngineClient::AttachBench(port, &why)) live.push_back(port);
  }
  if (live.empty()) {
    Say("no bench server runs here");
    return kCtlNoBench;
  }
  if (live.size() > 1) {
    std::string names;
    for (const std::string& port : live) names += (names.empty() ? "" : ", ") + port;
    Say("bench servers run here on " + names + "; choose one with --interface");
    return kCtlNoBench;
  }
  return Attach(live.front(), bench);
}

int Status(Bench& b) {
  Answers& a = b.answers;
  b.client->Want(remote::kWantPanel);
  if (!Await(*b.client, a, [&] { return a.panelSeen; })) {
    Say("the bench on " + b.port + ": " + a.reason);
    return kCtlRefused;
  }
  std::printf("%s: %s (pid %u)\n", b.port.c_str(), remote::RunStateText(a.state).c_str(),
              a.hello.pid);
  const size_t end = a.panel.find("\r\n");
  if (end != std::string::npos) std::printf("%s\n", a.panel.substr(0, end).c_str());
  return kCtlDone;
}

int Act(Bench& b, bool clear) {
  Answers& a = b.answers;
  a.awaited = clear ? b.client->Clear() : b.client->RetryFailed();
  if (!Await(*b.client, a, [&] { return a.replied; })) {
    Say("the bench on " + b.port + ": " + a.reason);
    return kCtlRefused;
  }
  if (!a.reply.done) {
    Say("the bench on " + b.port + " refused: " + a.reply.reason);
    return kCtlRefused;
  }
  std::printf(clear ? "%s: the Done devices are cleared from the panel.\n"
                    : "%s: the failed devices are served again when they ask.\n",
              b.port.c_str());
  return kCtlDone;
}

int Watch(Bench& b) {
  Answers& a = b.answers;
  a.watching = true;
  b.client->Want(remote::kWantText);
  // Until Ctrl-C, or until the bench ends.
  while (b.client->Pump(a, 1000)) std::fflush(stdout);
  std::fflush(stdout);
  Say("the bench on " + b.port + " has ended: " + a.reason);
  return kCtlDone;
}

}  // namespace

int RunCtl(int argc, char** argv) {
  std::string named;
  std::string verb;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kCtlDone;
    } else if (arg == "--interface" && i + 1 < argc && argv[i + 1][0] != '\0') {
      named = argv[++i];
    } else if (arg.rfind("--interface=", 0) == 0 && arg.size() > 12) {
      named = arg.substr(12);
    } else if (verb.empty() && arg[0] != '-') {
      verb = arg;
    } else {
      std::fputs(kUsage, stderr);
      return kCtlNoBench;
    }
  }
  if (verb == "list") return List(named);
  if (verb != "status" && verb != "clear" && verb != "retry-failed" && verb != "watch") {
    std::fputs(kUsage, stderr);
    return kCtlNoBench;
  }
  Bench bench;
  if (const int status = Choose(named, &bench); status != kCtlDone) return status;
  if (verb == "status") return Status(bench);
  if (verb == "watch") return Watch(bench);
  return Act(bench, verb == "clear");
}
