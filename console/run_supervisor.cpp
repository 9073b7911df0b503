// A run's port and address looked after between the front end's events:
// see run_supervisor.h.
#include "console/run_supervisor.h"

#include <net/if.h>

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

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

RunSupervisor::RunSupervisor(ServerControl& server, RunFront& front)
    : server_(server), front_(front) {}

void RunSupervisor::AwaitPort(const std::string& name) {
  awaited_ = name;
  nextTryMs_ = 0;
  front_.Tell(PortNews::kWaiting, "waiting for the network interface '" + name + "' to appear");
}

void RunSupervisor::Tick() {
  if (ticking_) return;
  ticking_ = true;
  const int64_t now = NowMs();
  // Read every time, so that a waiting event never keeps the front end's
  // wait awake.
  L2_If* link = server_.Running() ? server_.Link() : nullptr;
  const bool removed = events_.Drain(link != nullptr ? static_cast<int>(link->ifIndex) : -1);
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
      front_.StopRun();
      awaited_ = name;
      nextTryMs_ = 0;
    } else {
      KeepAddress(now, removed);
    }
  }
  ticking_ = false;
}

void RunSupervisor::KeepAddress(int64_t now, bool removed) {
  if (removed || now - lastLookMs_ >= kLookGapMs) {
    lastLookMs_ = now;
    switch (server_.KeepAddress()) {
      case 0:
        break;
      case 1:
        ++unsaid_;
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

void RunSupervisor::SayPutBacks(int64_t now) {
  if (unsaid_ == 0 || (lastLineMs_ >= 0 && now - lastLineMs_ < kLineGapMs)) return;
  const std::string port = server_.InterfaceName();
  const L2_PortManagerFacts& facts = server_.PortManager();
  std::string line = "Another program removed the server address 10.0.0.1/8 from the interface '" +
                     port + "'; it has been put back";
  if (unsaid_ > 1) line += " (" + std::to_string(unsaid_) + " times since the last such line)";
  line += std::string(". Likely ") + L2_PortManagerName(facts) + "; to stop it, " +
          L2_PortManagerRemedy(facts, port) + "\r\n";
  server_.Print(line);
  lastLineMs_ = now;
  unsaid_ = 0;
}
