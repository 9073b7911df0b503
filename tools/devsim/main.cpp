// skav-devsim: plays the device side of the recovery exchange for one or
// many devices and reports how each fared.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "devsim/capture.h"
#include "devsim/junk.h"
#include "devsim/options.h"
#include "devsim/sim_run.h"

namespace {

volatile int gStop = 0;

void OnSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
  DevsimOptions options;
  std::string error;
  switch (ParseOptions(argc, argv, options, error)) {
    case 0: break;
    case 1:
      std::fputs(HelpText(), stdout);
      return 0;
    default:
      std::fprintf(stderr, "skav-devsim: %s (see --help)\n", error.c_str());
      return 2;
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Capture capture;
  // When the system's TFTP server takes the pushes, every DATA and ACK of
  // them would only be copied into the capture's buffer and never read.
  const bool ipv4 = options.kernelTftpDir.empty() || options.junkRate > 0;
  if (!capture.Open(options.ifName, ipv4, error)) {
    std::fprintf(stderr, "skav-devsim: cannot capture on %s: %s\n",
                 options.ifName.c_str(), error.c_str());
    return 2;
  }
  if (options.junkRate > 0) {
    if (options.junkSeed == 0)
      options.junkSeed = static_cast<uint64_t>(time(nullptr)) * 65537u ^
                         static_cast<uint64_t>(getpid());
    JunkCounts n;
    const bool ok = RunJunk(options, capture, &gStop, &n);
    std::printf("junk frames=%llu skav=%llu conf-req-malformed=%llu "
                "conf-req-valid=%llu ipv4=%llu runts=%llu other=%llu "
                "send-failures=%llu seed=%llu\n",
                static_cast<unsigned long long>(n.frames),
                static_cast<unsigned long long>(n.skav),
                static_cast<unsigned long long>(n.confReqBad),
                static_cast<unsigned long long>(n.confReqValid),
                static_cast<unsigned long long>(n.ipv4),
                static_cast<unsigned long long>(n.runts),
                static_cast<unsigned long long>(n.other),
                static_cast<unsigned long long>(n.sendFailures),
                static_cast<unsigned long long>(options.junkSeed));
    std::fflush(stdout);
    return ok ? 0 : 1;
  }

  SimRun run(options, capture);
  if (!run.AddDevices(&error)) {
    std::fprintf(stderr, "skav-devsim: %s\n", error.c_str());
    return 2;
  }
  const bool captureOk = run.Run(&gStop);

  // A device that fails on purpose went as planned, but is not counted
  // with those that got everything.
  int ok = 0, planned = 0;
  uint64_t bytes = 0;
  for (const auto& d : run.Devices()) {
    std::printf("%s\n", d->ReportLine().c_str());
    if (d->FailedAsPlanned()) {
      ++planned;
    } else if (d->Ok()) {
      ++ok;
    }
    bytes += d->BytesReceived();
  }
  const int total = static_cast<int>(run.Devices().size());
  const int64_t span = run.SpanMs();
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf("summary devices=%d ok=%d failed-as-planned=%d failed=%d wall=%lldms "
              "span=%lldms bytes=%llu rate=%.2fMiB/s advertise-gap-max=%lldms%s%s\n",
              total, ok, planned, total - ok - planned, static_cast<long long>(run.WallMs()),
              static_cast<long long>(span),
              static_cast<unsigned long long>(bytes),
              span > 0 ? mib * 1000.0 / static_cast<double>(span) : 0.0,
              static_cast<long long>(run.LongestAdvertiseGapMs()),
              captureOk ? "" : " capture-error",
              capture.SendFailures() ? " send-failures" : "");
  std::fflush(stdout);
  return ok + planned == total && captureOk ? 0 : 1;
}
