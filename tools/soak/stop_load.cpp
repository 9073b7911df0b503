// Stop under load: hundreds of devices each pulling a large firmware, Stop
// pressed a couple of seconds into their transfers. Times the stop against
// one server cycle plus the time the client threads take to end, and looks
// for any thread, socket or address entry left behind.
#include <cstdio>
#include <memory>
#include <thread>

#include "soak/line_audit.h"
#include "soak/outcome_log.h"
#include "soak/sim_report.h"
#include "soak/soak.h"
#include "soak/soak_env.h"
#include "soak/soak_server.h"

namespace soak {

namespace {

constexpr double kCycleMs = 500;
constexpr int kJoinLimitMs = 30000;

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : " ") + x;
  return s.empty() ? "none" : s;
}

}  // namespace

int RunStopUnderLoad(const StopLoadOptions& opt) {
  const std::string why = NetnsUnavailable();
  if (!why.empty()) {
    std::fprintf(stderr, "skav-soak: %s\n", why.c_str());
    return 2;
  }
  InstallStopHandlers();
  TempDir dir;
  if (!dir.ok()) return 2;
  const size_t fwBytes = static_cast<size_t>(opt.firmwareKiB) * 1024;
  ImagePaths images;
  images.firmware = dir.Write("firmware.bin", Pattern(fwBytes, 77));
  NetnsPair ns(kNetnsPrefix);
  if (!ns.ok()) {
    std::fprintf(stderr, "skav-soak: cannot create the namespaces\n");
    return 2;
  }
  InNetns in(ns.serverNs());
  if (!in.ok()) return 2;

  LineAudit audit;
  const int transferStarts = audit.Watch("go to 'TFTP-Uploading' state");
  const int uploadsDone = audit.Watch("TFTP uploading done");
  const int newClients = audit.Watch("New client: ");
  int faults = 0;
  {
    SoakServer server(ns.serverIf(), audit);
    if (!server.OpenLog(dir.path() + "/outcomes.log")) return 2;
    const ProcStats before = ReadProcStats();
    std::printf("stop under load: %d devices, firmware %d KiB, Stop %d ms after the first "
                "transfer started, %d round(s)\n",
                opt.devices, opt.firmwareKiB, opt.stopAfterMs, opt.rounds);
    std::printf("before: threads %d, sockets %d, UDP sockets in the server namespace %d, "
                "address entries: %s\n",
                before.threads, before.sockets, UdpSocketsIn(ns.serverNs()),
                Join(AddressEntries(ns.serverNs(), ns.serverIf())).c_str());
    for (int round = 1; round <= opt.rounds && !StopRequested(); ++round) {
      const std::string tag = "round " + std::to_string(round) + ": ";
      if (!server.Start(round, images, 0)) {
        std::printf("%sStart failed\n", tag.c_str());
        ++faults;
        break;
      }
      char base[32];
      std::snprintf(base, sizeof base, "02:5a:%02x:00:00:00", 0x10 + round);
      Child sim(ns.deviceNs(),
                {opt.devsim, "--if", ns.deviceIf(), "--count", std::to_string(opt.devices),
                 "--base-mac", base, "--timeout", "300", "--expect-size",
                 "firmware=" + std::to_string(fwBytes)},
                dir.path() + "/sim" + std::to_string(round) + ".txt");
      // Every device mid-transfer, then Stop a while after the first began.
      const Clock::time_point launched = Clock::now();
      Clock::time_point firstTransfer{};
      bool sawFirst = false;
      while (!StopRequested() && MsSince(launched) < kJoinLimitMs) {
        const int started = audit.Watched(round, transferStarts);
        if (!sawFirst && started > 0) {
          sawFirst = true;
          firstTransfer = Clock::now();
        }
        if (started >= opt.devices && MsSince(firstTransfer) >= opt.stopAfterMs) break;
        if (sim.Poll()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      const int clients = audit.Watched(round, newClients);
      const int started = audit.Watched(round, transferStarts);
      const int finished = audit.Watched(round, uploadsDone);
      const int udpAtStop = UdpSocketsIn(ns.serverNs());
      const double inMs = sawFirst ? MsSince(firstTransfer) : 0;
      const StopTiming t = server.Stop();
      const ProcStats after = ReadProcStats();
      const std::vector<std::string> addrs = AddressEntries(ns.serverNs(), ns.serverIf());
      const int udpAfter = UdpSocketsIn(ns.serverNs());
      sim.Terminate();
      const SimOutput out = ParseSimOutput(sim.Output());
      int incomplete = 0;
      for (const SimDeviceLine& d : out.devices) incomplete += d.incomplete ? 1 : 0;

      const double clientsEndMs = t.firstClientEndedMs >= 0 ? t.threadEndedMs - t.firstClientEndedMs : 0;
      const double bound = kCycleMs + clientsEndMs;
      const bool inTime = t.threadEndedMs <= bound;
      std::printf("%s%d clients, %d transfers started, %d images finished, %d UDP sockets "
                  "open; Stop pressed %.0f ms after the first transfer started, with %d "
                  "threads (%d client threads)\n",
                  tag.c_str(), clients, started, finished, udpAtStop, inMs, t.threadsBefore,
                  t.threadsBefore - before.threads - 1);
      std::printf("%sStop: %.0f ms from RequestStop to the server thread's end (%.0f ms "
                  "with join and close); the loop reacted and the first client thread "
                  "ended at %.0f ms; the client threads took %.0f ms to end; one cycle + "
                  "that = %.0f ms: %s\n",
                  tag.c_str(), t.threadEndedMs, t.finishedMs, t.firstClientEndedMs,
                  clientsEndMs, bound, inTime ? "within" : "EXCEEDED");
      std::printf("%safter: threads %d, sockets %d, UDP sockets in the server namespace "
                  "%d, address entries: %s; simulator: %zu devices, %d cut off "
                  "mid-transfer\n",
                  tag.c_str(), after.threads, after.sockets, udpAfter, Join(addrs).c_str(),
                  out.devices.size(), incomplete);
      if (!inTime) ++faults;
      if (started < opt.devices) {
        std::printf("%sFAULT: only %d of %d devices were mid-transfer at Stop\n", tag.c_str(),
                    started, opt.devices);
        ++faults;
      }
      if (after.threads != before.threads) {
        std::printf("%sFAULT: %d threads left behind\n", tag.c_str(),
                    after.threads - before.threads);
        ++faults;
      }
      if (after.sockets != before.sockets || udpAfter != 0) {
        std::printf("%sFAULT: sockets left behind (%d of this process, %d UDP in the "
                    "namespace)\n",
                    tag.c_str(), after.sockets - before.sockets, udpAfter);
        ++faults;
      }
      // Every device the stop cut off has its one Error line in the log.
      const std::vector<OutcomeSection> log = ReadOutcomeLog(dir.path() + "/outcomes.log");
      const OutcomeSection none;
      const OutcomeSection& logged =
          static_cast<size_t>(round) <= log.size() ? log[static_cast<size_t>(round) - 1] : none;
      int twice = 0;
      for (const auto& [mac, counts] : logged.byMac) twice += counts.first + counts.second > 1;
      std::printf("%slog file: %d Error and %d Done lines for %d clients\n", tag.c_str(),
                  logged.error, logged.done, clients);
      if (logged.error + logged.done != clients || twice != 0 || logged.malformed != 0) {
        std::printf("%sFAULT: the log file does not hold one outcome line per client\n",
                    tag.c_str());
        ++faults;
      }
      if (addrs.size() != 1 || addrs[0] != "10.0.0.1/8") {
        std::printf("%sFAULT: address entries other than the one server address\n",
                    tag.c_str());
        ++faults;
      }
      std::fflush(stdout);
    }
    const ProcStats end = ReadProcStats();
    std::printf("memory: VmRSS %ld KiB before, %ld KiB after; VmHWM %ld KiB\n", before.rssKiB,
                end.rssKiB, end.hwmKiB);
  }
  for (const std::string& v : audit.Violations()) std::printf("rule broken: %s\n", v.c_str());
  faults += audit.ViolationCount();
  std::printf("result: %s\n", faults ? "FAULTS" : "no faults");
  if (faults) {
    dir.Keep();
    std::printf("scratch kept for inspection: %s\n", dir.path().c_str());
  } else if (opt.keep) {
    dir.Keep();
  }
  return faults ? 1 : 0;
}

}  // namespace soak
