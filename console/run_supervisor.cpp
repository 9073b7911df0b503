// A run's port and address looked after between the front end's events:
// see run_supervisor.h.
#include "console/run_supervisor.h"

#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

// Network managers remove an address in bursts (each DHCP retry, each
// reconfiguration): one line a minute says it with the count.
constexpr int64_t kLineGapMs = 60000;
// An event can be missed; without one the address is still looked at.
constexpr int64_t kLookGapMs = 2000;
// A port that is back but cannot be started on is tried again this late.
constexpr int64_t kRetryMs = 10000;
// After a port went, the first look for it again.
constexpr int64_t kGoneSettleMs = 1000;
// A removal this soon after a put-back is a program that takes the address
// off whenever it appears: putting it back at once would only feed it. The
// pause before the next put-back doubles with each such removal, up to
// kMaxPauseMs, and ends once the address stays.
constexpr int64_t kFightMs = 1000;
constexpr int64_t kFirstPauseMs = 100;
constexpr int64_t kMaxPauseMs = 4000;
// The third such removal in a row: no manager's single reconfiguration.
constexpr int64_t kHeldPauseMs = 400;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

RunSupervisor::RunSupervisor(ServerControl& server, RunFront& front)
    : server_(server), front_(front) {
  server_.SetBeforeStop([this] { RunStops(); });
}

RunSupervisor::~RunSupervisor() { server_.SetBeforeStop(nullptr); }

void RunSupervisor::AwaitPort(const std::string& name) {
  awaited_ = name;
  nextTryMs_ = 0;
  front_.Tell(PortNews::kWaiting, "waiting for the network interface '" + name + "' to appear");
}

void RunSupervisor::Tick() {
  // Read every time, also inside a tick, so that a waiting event never
  // keeps the front end's wait awake.
  L2_If* link = server_.Running() ? server_.Link() : nullptr;
  if (events_.Drain(link != nullptr ? static_cast<int>(link->ifIndex) : -1) &&
      removedAtMs_ < 0)
    removedAtMs_ = NowMs();
  if (ticking_) return;
  ticking_ = true;
  const int64_t now = NowMs();
  if (Waiting()) {
    if (now >= nextTryMs_ && if_nametoindex(awaited_.c_str()) != 0) {
      const std::string name = awaited_;
      awaited_.clear();
      front_.Tell(PortNews::kBack,
                  "the network interface '" + name + "' is back; starting the server on it");
      // The start may wait again by itself (the port went once more); a
      // start that failed is tried again a little later.
      if (!front_.StartRun() && !Waiting()) {
        awaited_ = name;
        nextTryMs_ = now + kRetryMs;
      }
    }
  } else if (server_.Running()) {
    if (server_.PortGone()) {
      const std::string name = server_.InterfaceName();
      front_.Tell(PortNews::kGone, "the network interface '" + name +
                                       "' is gone; the server stops and starts again when an "
                                       "interface of that name is back");
      // Waiting already while the run stops: the front end shows a run
      // that waits for its port, not one that was stopped.
      awaited_ = name;
      // A link being taken away may still answer to its name for a moment.
      nextTryMs_ = now + kGoneSettleMs;
      noLink_ = false;
      front_.StopRun();
    } else {
      KeepAddress(now);
      WatchLink();
    }
  } else {
    noLink_ = false;
  }
  ticking_ = false;
}

void RunSupervisor::WatchLink() {
  const bool none = !server_.HasLink();
  if (none == noLink_) return;
  noLink_ = none;
  const std::string port = "the network interface '" + server_.InterfaceName() + "'";
  if (none) {
    front_.Tell(PortNews::kNoLink, port + " has no link (a cable out, or the other end off): "
                                          "nothing is sent or received until it has one");
  } else {
    front_.Tell(PortNews::kLinkBack, port + " has its link again");
  }
}

void RunSupervisor::KeepAddress(int64_t now) {
  const bool look = removedAtMs_ >= 0 || now - lastLookMs_ >= kLookGapMs;
  if (look && now >= lastPutBackMs_ + pauseMs_) {
    lastLookMs_ = now;
    const int64_t removedAt = removedAtMs_ >= 0 ? removedAtMs_ : now;
    removedAtMs_ = -1;
    switch (server_.KeepAddress()) {
      case 0:
        if (pauseMs_ > 0 && now - lastPutBackMs_ >= kFightMs) {
          pauseMs_ = 0;
          held_ = false;
        }
        break;
      case 1:
        ++unsaid_;
        NotePutBack(now, removedAt);
        break;
      default:
        if (lastLineMs_ < 0 || now - lastLineMs_ >= kLineGapMs) {
          lastLineMs_ = now;
          server_.Print("[Error] Unable to put the server address 10.0.0.1/8 back on the "
                        "interface '" + server_.InterfaceName() + "': " +
                        server_.KeepAddressError() + "\r\n");
        }
        break;
    }
  }
  SayPutBacks(now);
}

void RunSupervisor::NotePutBack(int64_t now, int64_t removedAt) {
  if (lastPutBackMs_ >= 0 && removedAt - lastPutBackMs_ < kFightMs) {
    pauseMs_ = std::min(pauseMs_ == 0 ? kFirstPauseMs : 2 * pauseMs_, kMaxPauseMs);
  } else {
    pauseMs_ = 0;
    held_ = false;
  }
  lastPutBackMs_ = now;
}

void RunSupervisor::SayPutBacks(int64_t now) {
  if (unsaid_ == 0) return;
  // A program that holds the port is said at once, each time it begins.
  const bool holdBegins = !held_ && pauseMs_ >= kHeldPauseMs;
  if (!holdBegins && lastLineMs_ >= 0 && now - lastLineMs_ < kLineGapMs) return;
  Say(now);
}

void RunSupervisor::Say(int64_t now) {
  const std::string port = server_.InterfaceName();
  const L2_PortManagerFacts& facts = server_.PortManager();
  const std::string times = unsaid_ == 1 ? "once" : std::to_string(unsaid_) + " times";
  std::string line;
  // Each line, remedy included, fits the 511 bytes of a Debug Window line
  // with the longest interface name.
  if (pauseMs_ >= kHeldPauseMs) {
    held_ = true;
    line = "Another program holds the interface '" + port +
           "': it removes the server address 10.0.0.1/8 as soon as it is back (" + times +
           "), so put-backs now wait up to " + std::to_string(kMaxPauseMs / 1000) + " s";
  } else {
    line = "Another program removed the server address 10.0.0.1/8 from the interface '" + port +
           "'; it has been put back";
    if (unsaid_ > 1) line += " (" + times + " since the last such line)";
  }
  line += std::string(". Likely ") + L2_PortManagerName(facts) + "; to stop it, " +
          L2_PortManagerRemedy(facts, port) + "\r\n";
  server_.Print(line);
  lastLineMs_ = now;
  unsaid_ = 0;
}

void RunSupervisor::RunStops() {
  if (unsaid_ > 0) Say(NowMs());
  // The next run begins with a clean slate.
  lastLineMs_ = -1;
  removedAtMs_ = -1;
  lastPutBackMs_ = -1;
  pauseMs_ = 0;
  held_ = false;
}
