// Judging the soak: after each Stop, what the process must be back to and
// what every undisturbed wave, the Debug Window and the log file must show;
// at the end, the report.
#include <algorithm>
#include <cstdio>
#include <map>

#include "soak/outcome_log.h"
#include "soak/soak_run.h"

namespace soak {

void Soak::Fault(const std::string& what) {
  ++faultCount_;
  if (faults_.size() < 60) faults_.push_back(what);
}

void Soak::CheckAfterStop(RunRecord& r) {
  const std::string tag = "run " + std::to_string(r.run) + ": ";
  r.after = ReadProcStats();
  if (r.after.threads != start_.threads)
    Fault(tag + std::to_string(r.after.threads - start_.threads) +
          " threads left after Stop");
  if (r.after.sockets != start_.sockets)
    Fault(tag + std::to_string(r.after.sockets - start_.sockets) +
          " sockets left after Stop");
  const std::vector<std::string> addrs = AddressEntries(ns_->serverNs(), ns_->serverIf());
  if (addrs.size() != 1 || addrs[0] != "10.0.0.1/8") {
    std::string list;
    for (const auto& a : addrs) list += " " + a;
    Fault(tag + "address entries after Stop:" + (list.empty() ? " none" : list) +
          " (expected the one server address 10.0.0.1/8)");
  }
  if (!server_->PanelMatches())
    Fault(tag + "the panel's mirror differs from the panel text after Stop");
  if (server_->mirror().BadEdits())
    Fault(tag + std::to_string(server_->mirror().BadEdits()) +
          " panel edits outside the mirrored text");
}

void Soak::Evaluate(RunRecord& r, int64_t stopMs) {
  const std::string tag = "run " + std::to_string(r.run) + ": ";
  const auto clients = audit_.Clients(r.run);
  const std::vector<OutcomeSection> log = ReadOutcomeLog(logPath_);
  OutcomeSection section;
  if (static_cast<int>(log.size()) >= r.run) {
    section = log[r.run - 1];
  } else {
    Fault(tag + "no start banner of this run in the log file");
  }
  if (section.malformed) Fault(tag + std::to_string(section.malformed) + " malformed log lines");
  r.logDone = section.done;
  r.logError = section.error;

  // The log file against the Debug Window: every exit report before the
  // Stop was requested has its outcome line, and no line lacks its exit.
  for (const auto& [mac, lives] : clients) {
    int mustDone = 0, mustError = 0, mayDone = 0, mayError = 0;
    const bool junk = (mac >> 32) != 0x025a;  // the simulated devices' range
    for (const ClientLife& l : lives) {
      ++r.clients;
      if (junk) {
        ++r.junkClients;
        r.junkTransfers += l.transfers;
      }
      if (l.exitMs < 0) continue;
      (l.fwDone ? mayDone : mayError) += 1;
      (l.fwDone ? r.done : r.errors) += 1;
      if (l.exitMs + 2 < stopMs) {
        (l.fwDone ? mustDone : mustError) += 1;
      } else {
        // The last outcomes are written when the loop sees the Stop; a
        // client that handles a message still queued before its quit
        // (a false creation, a timer) reports after that.
        ++r.exitsDuringStop;
      }
    }
    auto it = section.byMac.find(mac);
    const int gotDone = it == section.byMac.end() ? 0 : it->second.first;
    const int gotError = it == section.byMac.end() ? 0 : it->second.second;
    if (gotDone < mustDone || gotError < mustError) {
      r.lostLogLines += (mustDone - std::min(gotDone, mustDone)) +
                        (mustError - std::min(gotError, mustError));
      Fault(tag + MacUpper(mac) + ": exit report without its outcome line in the log file");
    }
    if (gotDone > mayDone || gotError > mayError) {
      r.phantomLogLines += std::max(0, gotDone - mayDone) + std::max(0, gotError - mayError);
      Fault(tag + MacUpper(mac) + ": outcome line in the log file without an exit report");
    }
  }
  for (const auto& [mac, counts] : section.byMac)
    if (!clients.count(mac)) {
      r.phantomLogLines += counts.first + counts.second;
      Fault(tag + MacUpper(mac) + ": outcome line for a MAC that never had a client");
    }

  // Each wave that ran start to end inside this run is held to its kind.
  for (auto& w : waves_) {
    if (w->run != r.run || !w->ended || !w->undisturbed) continue;
    const std::string wt = tag + "wave " + std::to_string(w->id) + " (" + KindName(w->kind) + "): ";
    if (static_cast<int>(w->out.devices.size()) != w->count || !w->out.haveSummary) {
      Fault(wt + "the simulator's report is incomplete");
      continue;
    }
    const bool settled = w->endMs + ClosedAfterMs(w->kind) + kMarginMs < stopMs;
    for (const SimDeviceLine& d : w->out.devices) {
      const bool served = d.ok;
      if (d.ok) {
        ++r.simOk;
      } else {
        ++r.simFailed;
      }
      if (w->kind == Kind::kRejoin) (d.ok ? rejoinServed_ : rejoinIgnored_) += 1;
      if (w->clearHeld && !d.ok) ++rejoinHeldIgnored_;
      if (w->clearHeld && d.ok) {
        Fault(wt + MacUpper(d.mac) + " was served again although no Clear had removed "
                                     "its Closed client");
        continue;
      }
      if (!d.ok && !(w->kind == Kind::kRejoin && d.reason == "no CONF-ACK")) {
        ++r.shouldHaveFinished;
        Fault(wt + MacUpper(d.mac) + " should have finished but did not: " + d.reason);
        continue;
      }
      if (!settled || !served) continue;
      // Its client has reached Closed well before the Stop.
      const std::string m = MacUpper(d.mac);
      auto c = clients.find(d.mac);
      const bool wantDone = Expected(w->kind) == Outcome::kDone;
      bool seen = false;
      if (c != clients.end())
        for (const ClientLife& l : c->second)
          if (l.exitMs >= 0 && l.fwDone == wantDone) seen = true;
      if (!seen) {
        ++r.lostWindowLines;
        Fault(wt + m + ": no exit report with the expected outcome in the Debug Window");
      }
      auto it = section.byMac.find(d.mac);
      const int got = it == section.byMac.end() ? 0
                      : wantDone                ? it->second.first
                                                : it->second.second;
      if (got == 0) {
        ++r.lostLogLines;
        Fault(wt + m + ": no \"" + (wantDone ? "Done" : "Error") + "\" line in the log file");
      }
    }
  }
}

void Soak::Report() {
  const ProcStats end = ReadProcStats();
  if (end.threads != start_.threads)
    Fault("threads at the end " + std::to_string(end.threads) + ", at the start " +
          std::to_string(start_.threads));
  if (end.sockets != start_.sockets)
    Fault("sockets at the end " + std::to_string(end.sockets) + ", at the start " +
          std::to_string(start_.sockets));

  int launched = 0, reported = 0, ok = 0, failed = 0, undisturbedDevices = 0, dupData = 0,
      wrqSeen = 0, plainDevices = 0, plainWrqResent = 0, plainDupData = 0;
  std::map<std::string, int> byKind;
  std::map<std::string, int> failReasons;
  for (auto& w : waves_) {
    launched += w->count;
    byKind[KindName(w->kind)] += w->count;
    if (w->undisturbed) undisturbedDevices += w->count;
    for (const SimDeviceLine& d : w->out.devices) {
      ++reported;
      (d.ok ? ok : failed) += 1;
      dupData += d.dupData;
      wrqSeen += d.wrq;
      if (!d.ok) {
        // Grouped without their numbers ("stalled after block N").
        std::string why;
        bool inNumber = false;
        for (char c : d.reason) {
          const bool digit = c >= '0' && c <= '9';
          if (!digit) why += c;
          else if (!inNumber) why += 'N';
          inNumber = digit;
        }
        const char* tag = !w->undisturbed ? "(disturbed) "
                          : w->clearHeld  ? "(planned: came back while Closed) "
                                          : "";
        ++failReasons[tag + why];
      }
      // A device without faults of its own asks for three images, once
      // each: anything more on the wire is a frame that was lost.
      if (w->undisturbed && d.ok && (w->kind == Kind::kNormal || w->kind == Kind::kRejoin) &&
          d.wrq > 0) {
        ++plainDevices;
        plainWrqResent += d.wrq - 3;
        plainDupData += d.dupData;
      }
    }
  }
  RunRecord sum;
  double maxStop = 0, maxReaction = 0;
  for (const RunRecord& r : runs_) {
    sum.clients += r.clients;
    sum.done += r.done;
    sum.errors += r.errors;
    sum.logDone += r.logDone;
    sum.logError += r.logError;
    sum.simOk += r.simOk;
    sum.simFailed += r.simFailed;
    sum.shouldHaveFinished += r.shouldHaveFinished;
    sum.lostLogLines += r.lostLogLines;
    sum.lostWindowLines += r.lostWindowLines;
    sum.phantomLogLines += r.phantomLogLines;
    sum.junkClients += r.junkClients;
    sum.exitsDuringStop += r.exitsDuringStop;
    sum.junkTransfers += r.junkTransfers;
    maxStop = std::max(maxStop, r.stop.threadEndedMs);
    maxReaction = std::max(maxReaction, r.stop.firstClientEndedMs);
  }

  std::printf("\n== soak report ==\n");
  std::printf("server runs: %zu (each ended by Stop under load); Clear pressed %d times, "
              "sort buttons %d times\n",
              runs_.size(), clears_, sorts_);
  std::printf("devices launched: %d in %zu simulator waves (", launched, waves_.size());
  bool first = true;
  for (const auto& [k, n] : byKind) {
    std::printf("%s%s %d", first ? "" : ", ", k.c_str(), n);
    first = false;
  }
  std::printf(")\n");
  std::printf("simulators: %d devices reported, %d ok, %d failed; %d devices in waves that "
              "ran undisturbed within one run: %d ok, %d failed, %d should have finished "
              "but did not\n",
              reported, ok, failed, undisturbedDevices, sum.simOk, sum.simFailed,
              sum.shouldHaveFinished);
  for (const auto& [why, n] : failReasons) std::printf("  failed: %d x %s\n", n, why.c_str());
  std::printf("server: %d clients; exit reports Done %d, Error %d; log file Done %d, "
              "Error %d\n",
              sum.clients, sum.done, sum.errors, sum.logDone, sum.logError);
  std::printf("devices served (Done): %d\n", sum.done);
  std::printf("exit reports written while Stop ended the clients (no log line by design): "
              "%d\n",
              sum.exitsDuringStop);
  std::printf("CONF-REQ after Closed (undisturbed rejoin waves): %d devices served again "
              "after a Clear had removed their Done clients, %d ignored by their Closed "
              "clients (no Clear in between; %d of them while Clear was held back)\n",
              rejoinServed_, rejoinIgnored_, rejoinHeldIgnored_);
  std::printf("lost lines: %d log-file lines, %d Debug Window lines; %d log lines without "
              "an exit report\n",
              sum.lostLogLines, sum.lostWindowLines, sum.phantomLogLines);
  std::printf("lost frames: on %d fault-free devices served undisturbed, %d WRQs and %d "
              "DATA blocks arrived more than once (a lost frame each); all devices: %d "
              "WRQs, %d DATA blocks seen twice (lossy devices drop ACKs on purpose)\n",
              plainDevices, plainWrqResent, plainDupData, wrqSeen, dupData);
  if (junk_) {
    const SimOutput j = ParseSimOutput(junk_->Output());
    std::printf("junk: %s\n", j.junkLine.empty() ? "(no summary)" : j.junkLine.c_str());
    std::printf("junk at the server: %d clients created by junk frames, %d transfers "
                "started for them\n",
                sum.junkClients, sum.junkTransfers);
  }
  std::printf("Debug Window: %ld texts, %d rule breaks\n", audit_.Lines(),
              audit_.ViolationCount());
  for (const std::string& v : audit_.Violations()) std::printf("  rule broken: %s\n", v.c_str());
  for (const auto& [text, n] : audit_.ErrorLines())
    std::printf("  %6d x %s\n", n, text.c_str());
  std::printf("Stop: longest %.0f ms from RequestStop to the server thread's end; the loop "
              "reacted (first client thread ended) within %.0f ms at most\n",
              maxStop, maxReaction);
  std::printf("memory: VmRSS %ld KiB at the start, %ld KiB at the end (%+ld KiB); VmHWM %ld "
              "-> %ld KiB; VmRSS after each Stop:",
              start_.rssKiB, end.rssKiB, end.rssKiB - start_.rssKiB, start_.hwmKiB, end.hwmKiB);
  for (const RunRecord& r : runs_) std::printf(" %ld", r.after.rssKiB);
  std::printf(" KiB\n");
  const std::vector<std::string> addrs = AddressEntries(ns_->serverNs(), ns_->serverIf());
  std::printf("leftovers: threads %d at the start, %d at the end; sockets %d -> %d; address "
              "entries on the server interface:",
              start_.threads, end.threads, start_.sockets, end.sockets);
  for (const auto& a : addrs) std::printf(" %s", a.c_str());
  std::printf(" (the server address stays by design)\n");
  if (faultCount_ || audit_.ViolationCount()) {
    std::printf("FAULTS: %d\n", faultCount_ + audit_.ViolationCount());
    for (const std::string& f : faults_) std::printf("  %s\n", f.c_str());
    dir_.Keep();
    std::printf("scratch kept for inspection: %s\n", dir_.path().c_str());
  } else {
    std::printf("result: no faults\n");
    if (opt_.keep) dir_.Keep();
  }
  std::fflush(stdout);
}

}  // namespace soak
