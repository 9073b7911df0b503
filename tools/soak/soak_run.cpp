// The soak: the server in-process in a namespace of its own, restarted
// under load every half minute or so, while simulator processes churn
// devices through it in waves (finishing, failing on purpose, falling
// silent mid-transfer, malformed, coming back after they were done), a
// junk process sprays random frames, and the front end presses Clear and
// the sort buttons. soak_check.cpp judges what happened.
#include "soak/soak_run.h"

#include <csignal>
#include <cstdio>
#include <thread>

#include "report/status_panel.h"

namespace soak {

bool Soak::Setup() {
  if (!dir_.ok()) {
    std::fprintf(stderr, "skav-soak: cannot make a scratch directory\n");
    return false;
  }
  // 200000 bytes end with a short block, 1024 with an empty one, 300 is a
  // single short block.
  images_.firmware = dir_.Write("firmware.bin", Pattern(200000, 1));
  images_.stringTables[0] = dir_.Write("table01.bin", Pattern(1024, 2));
  images_.stringTables[2] = dir_.Write("table03.bin", Pattern(300, 3));
  expectArgs_ = {"--expect", "firmware=" + images_.firmware,
                 "--expect", "st1=" + images_.stringTables[0],
                 "--expect", "st3=" + images_.stringTables[2],
                 "--expect-region", std::to_string(kRegion)};
  logPath_ = dir_.path() + "/outcomes.log";
  ns_ = std::make_unique<NetnsPair>(kNetnsPrefix);
  if (!ns_->ok()) {
    std::fprintf(stderr, "skav-soak: cannot create the namespaces\n");
    return false;
  }
  return true;
}

void Soak::StartWave(int run, Wave* heldOf) {
  auto w = std::make_unique<Wave>();
  w->id = static_cast<int>(waves_.size()) + 1;
  w->run = run;
  w->startMs = NowMs();
  const uint32_t pick = heldOf ? 100 : R(100);
  std::vector<std::string> extra;
  Wave* rejoinOf = heldOf;
  if (!heldOf && pick >= 80) {
    // Devices that were served in this run come back with a CONF-REQ; a
    // Clear pressed since has most likely removed their Done clients, so
    // they are served anew.
    for (auto& old : waves_)
      if (old->run == run && old->ended && !old->rejoined && old->undisturbed &&
          Expected(old->kind) == Outcome::kDone && w->startMs - old->endMs > 8000) {
        rejoinOf = old.get();
        break;
      }
  }
  if (rejoinOf) {
    w->kind = Kind::kRejoin;
    w->base = rejoinOf->base;
    w->count = rejoinOf->count;
    rejoinOf->rejoined = true;
    w->clearHeld = heldOf != nullptr;
  } else {
    w->base = nextBase_;
    nextBase_ += 256;
    if (pick < 35 || pick >= 80) {
      w->kind = Kind::kNormal;
      w->count = 8 + static_cast<int>(R(33));
    } else if (pick < 45) {
      w->kind = Kind::kLossy;
      w->count = 4 + static_cast<int>(R(7));
      extra = {"--drop-ack", "3", "--lose-final-ack", "--wrong-port"};
    } else if (pick < 53) {
      w->kind = Kind::kTftpError;
      w->count = 2 + static_cast<int>(R(5));
      extra = {"--tftp-error", std::to_string(R(6))};
    } else if (pick < 63) {
      w->kind = Kind::kSilentMid;
      w->count = 2 + static_cast<int>(R(5));
      extra = {"--silent-after", R(2) ? "wrq" : "ul-req", "--silent-for", "3500", "--then-close"};
    } else if (pick < 68) {
      w->kind = Kind::kVanish;
      w->count = 2 + static_cast<int>(R(4));
      extra = {"--silent-after", R(2) ? "wrq" : "transfers", "--silent-for", "100"};
    } else if (pick < 73) {
      w->kind = Kind::kEarlyClose;
      w->count = 2 + static_cast<int>(R(4));
      extra = {"--no-upload"};
    } else {
      w->kind = Kind::kMalformed;
      w->count = 2 + static_cast<int>(R(4));
      extra = {"--malformed-conf-req", "--silent-for", "1500"};
    }
  }
  std::vector<std::string> argv = {opt_.devsim, "--if", ns_->deviceIf(), "--timeout",
                                   std::to_string(kSimTimeoutS), "--base-mac", MacArg(w->base),
                                   "--count", std::to_string(w->count)};
  argv.insert(argv.end(), expectArgs_.begin(), expectArgs_.end());
  argv.insert(argv.end(), extra.begin(), extra.end());
  w->child = std::make_unique<Child>(ns_->deviceNs(), argv,
                                     dir_.path() + "/wave" + std::to_string(w->id) + ".txt");
  if (!w->child->started()) Fault("wave " + std::to_string(w->id) + ": the simulator did not start");
  waves_.push_back(std::move(w));
}

void Soak::PollWaves(int run, bool running) {
  for (auto& w : waves_) {
    if (w->ended || !w->child->Poll()) continue;
    w->ended = true;
    w->endMs = NowMs();
    w->undisturbed = running && w->run == run;
    // Now and then a normal wave's devices come back while their clients
    // sit in Closed: Clear is held back from now (their clients close 6 s
    // after the CLOSE-ACKs just received) until the comeback is over (six
    // CONF-REQs a second apart), so those Closed clients must ignore them.
    if (w->undisturbed && w->kind == Kind::kNormal && !heldOrigin_ &&
        w->endMs > holdClearUntil_ && R(4) == 0) {
      heldOrigin_ = w.get();
      w->rejoined = true;
      heldLaunchMs_ = w->endMs + kCloseTimerMs + kMarginMs;
      holdClearUntil_ = heldLaunchMs_ + 9000;
    }
    w->out = ParseSimOutput(w->child->Output());
    if (w->child->killedBySignal() && w->child->signal() != SIGTERM)
      Fault("wave " + std::to_string(w->id) + ": the simulator died of signal " +
            std::to_string(w->child->signal()));
  }
}

void Soak::Press() {
  // Clear about as often as one of the three sort buttons.
  if (R(2) == 0 && NowMs() >= holdClearUntil_) {
    server_->PressClear();
    ++clears_;
  } else {
    static const int32_t kIds[] = {kSortMacUp, kSortMacDown, kSortStatus};
    server_->PressSort(kIds[R(3)]);
    ++sorts_;
  }
}

int Soak::Run() {
  if (!Setup()) return 2;
  rng_.seed(opt_.seed);
  InNetns in(ns_->serverNs());
  if (!in.ok()) {
    std::fprintf(stderr, "skav-soak: cannot enter the server namespace\n");
    return 2;
  }
  server_ = std::make_unique<SoakServer>(ns_->serverIf(), audit_);
  if (!server_->OpenLog(logPath_)) return 2;
  start_ = ReadProcStats();
  std::printf("soak: %.1f min, seed %llu, namespaces %s/%s, scratch %s\n", opt_.minutes,
              static_cast<unsigned long long>(opt_.seed), ns_->serverNs().c_str(),
              ns_->deviceNs().c_str(), dir_.path().c_str());
  std::printf("start: threads %d, sockets %d, VmRSS %ld KiB, VmHWM %ld KiB\n", start_.threads,
              start_.sockets, start_.rssKiB, start_.hwmKiB);
  std::fflush(stdout);

  if (opt_.junkRate > 0) {
    const int seconds = static_cast<int>(opt_.minutes * 60) + 120;
    junk_ = std::make_unique<Child>(
        ns_->deviceNs(),
        std::vector<std::string>{opt_.devsim, "--if", ns_->deviceIf(), "--junk",
                                 std::to_string(opt_.junkRate), "--timeout",
                                 std::to_string(seconds), "--junk-seed",
                                 std::to_string(opt_.seed + 1)},
        dir_.path() + "/junk.txt");
  }

  const Clock::time_point begin = Clock::now();
  const double totalMs = opt_.minutes * 60000;
  int run = 0;
  while (MsSince(begin) < totalMs && !StopRequested()) {
    ++run;
    RunRecord r;
    r.run = run;
    if (!server_->Start(run, images_, kRegion)) {
      Fault("run " + std::to_string(run) + ": Start failed");
      break;
    }
    const Clock::time_point runStart = Clock::now();
    double runMs = 25000 + R(20000);
    if (totalMs - MsSince(begin) - runMs < 15000) runMs = totalMs - MsSince(begin);
    int64_t nextWave = NowMs() + 300, nextPress = NowMs() + 200 + R(1300);
    while (MsSince(runStart) < runMs && !StopRequested()) {
      PollWaves(run, true);
      const int64_t now = NowMs();
      if (now >= nextPress) {
        Press();
        nextPress = now + 200 + R(1300);
      }
      int alive = 0;
      for (auto& w : waves_) alive += w->ended ? 0 : 1;
      if (heldOrigin_ && now >= heldLaunchMs_) {
        StartWave(run, heldOrigin_);
        ++r.wavesStarted;
        heldOrigin_ = nullptr;
      }
      if (now >= nextWave && alive < opt_.maxSims) {
        StartWave(run);
        ++r.wavesStarted;
        nextWave = now + 800 + R(1700);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    PollWaves(run, true);
    heldOrigin_ = nullptr;  // a comeback not yet started is dropped
    holdClearUntil_ = -1;
    for (auto& w : waves_) r.wavesAtStop += w->ended ? 0 : 1;
    const int64_t stopMs = NowMs();
    r.stop = server_->Stop();
    r.seconds = MsSince(runStart) / 1000.0;
    // Besides this thread and the server thread, the client threads.
    r.clientThreadsAtStop = r.stop.threadsBefore - start_.threads - 1;
    CheckAfterStop(r);
    Evaluate(r, stopMs);
    runs_.push_back(r);
    std::printf("run %d: %.1f s, %d waves started, %d running at Stop, %d clients (%d "
                "threads) at Stop; Stop %.0f ms (first client thread ended at %.0f ms); "
                "clients %d, Done %d, Error %d (%d during Stop); log Done %d, Error %d; "
                "VmRSS %ld KiB\n",
                r.run, r.seconds, r.wavesStarted, r.wavesAtStop, r.clientThreadsAtStop,
                r.stop.threadsBefore, r.stop.threadEndedMs, r.stop.firstClientEndedMs,
                r.clients, r.done, r.errors, r.exitsDuringStop, r.logDone, r.logError,
                r.after.rssKiB);
    std::fflush(stdout);
    // The devices see the server gone for a moment.
    const int64_t pauseEnd = NowMs() + 300 + R(1200);
    while (NowMs() < pauseEnd && !StopRequested()) {
      PollWaves(run, false);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  PollWaves(run, false);
  for (auto& w : waves_)
    if (!w->ended) {
      w->child->Terminate();
      PollWaves(run, false);
    }
  if (junk_) junk_->Terminate();
  Report();
  return faultCount_ || audit_.ViolationCount() ? 1 : 0;
}

int RunSoak(const SoakOptions& options) {
  const std::string why = NetnsUnavailable();
  if (!why.empty()) {
    std::fprintf(stderr, "skav-soak: %s\n", why.c_str());
    return 2;
  }
  InstallStopHandlers();
  Soak soak(options);
  return soak.Run();
}

}  // namespace soak
