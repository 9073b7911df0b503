// skav-bench-shift: a whole shift through one run of the server, without
// Clear: thousands of simulated devices in waves, each served and left on
// the panel. Prints whether every one was served, and the process's
// threads, descriptors and memory at the start, at their peak and at the
// end, with the first and the last waves' times side by side.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "bench_support.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

const char* const kDevsim = DevsimPath();

struct Options {
  int devices = 5000;
  int wave = 250;
  int wavesAtOnce = 2;
  int firmwareKiB = 64;
  int tableKiB = 4;
  bool verbose = false;
};

void Usage() {
  std::puts(
      "usage: skav-bench-shift [--devices N] [--wave N] [--waves-at-once N]\n"
      "                        [--firmware KIB] [--table KIB] [-v]\n"
      "\n"
      "Pushes N simulated devices (default 5000) through one run of the server,\n"
      "without Clear, in waves of --wave devices (default 250), --waves-at-once\n"
      "simulators at a time (default 2; the next starts when one ends). Each\n"
      "device asks for a firmware of KIB KiB (default 64) and string tables 1\n"
      "and 2 of KIB KiB (default 4). Prints the devices served, and threads,\n"
      "descriptors and memory (VmRSS, VmHWM) of this process, which runs the\n"
      "server, at the start, at their peak and at the end. Needs root; makes\n"
      "and removes its own namespaces.");
}

struct Sample {
  long threads = 0;
  int fds = 0;
  long rssKb = 0;
  long hwmKb = 0;
};

Sample Take() {
  return Sample{ProcStatusKb("Threads"), OpenDescriptors(), ProcStatusKb("VmRSS"),
                ProcStatusKb("VmHWM")};
}

// The MAC of device `index` of the shift (the simulators add a device's
// place in its wave to the last three bytes of their first MAC).
std::string MacOf(int index) {
  char text[32];
  std::snprintf(text, sizeof text, "02:5a:00:%02x:%02x:%02x", (index >> 16) & 255,
                (index >> 8) & 255, index & 255);
  return text;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + part.size()))
    ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv,
                    {{"--devices", 1, 100000, &opt.devices},
                     {"--wave", 1, 4000, &opt.wave},
                     {"--waves-at-once", 1, 16, &opt.wavesAtOnce},
                     {"--firmware", 0, 31 * 1024, &opt.firmwareKiB},
                     {"--table", 0, 31 * 1024, &opt.tableKiB}},
                    &opt.verbose)) {
    Usage();
    return 2;
  }
  if (!PrepareDeviceBench("skav-bench-shift")) return 2;
  const int waves = (opt.devices + opt.wave - 1) / opt.wave;
  std::printf("skav-bench-shift: %d devices in %d waves of up to %d, %d at once; firmware %d "
              "KiB + string tables 1 and 2 of %d KiB each; no Clear\n",
              opt.devices, waves, opt.wave, opt.wavesAtOnce, opt.firmwareKiB, opt.tableKiB);
  PrintStartConditions();

  TempDir work;
  if (!work.ok()) return 2;
  std::vector<std::string> expect;
  const ImagePaths images = WriteCrowdImages(work, opt.firmwareKiB, opt.tableKiB, &expect);

  Topology topo(1);
  if (!topo.ok()) {
    std::fprintf(stderr, "skav-bench-shift: cannot create the namespaces\n");
    return 2;
  }
  TimedLog log;
  const int allDone = log.Watch("exits. TFTP: Done, FW Upgrade: Done, Graceful Closing: Yes.");
  const int exits = log.Watch("exits.");
  const int resends = log.Watch("re-transmit");
  const int tftpFails = log.Watch("TFTP fails");
  const int newClient = log.Watch("New client:");

  BenchServer server(topo.serverNs(), topo.serverIf(), images, 0, &log, false);
  if (!server.ok()) {
    std::fprintf(stderr, "skav-bench-shift: server: %s\n", server.why().c_str());
    return 2;
  }
  std::this_thread::sleep_for(1200ms);  // a few cycles: the run's own set-up is done
  const Sample start = Take();
  Sample peak = start;
  const Clock::time_point t0 = Clock::now();

  struct Wave {
    std::unique_ptr<Child> sim;
    int count = 0;
    int status = -1;
    std::string summary;
  };
  std::vector<Wave> done;
  std::vector<Wave> running;
  int started = 0;
  while (!StopRequested() && (started < opt.devices || !running.empty())) {
    while (started < opt.devices && static_cast<int>(running.size()) < opt.wavesAtOnce) {
      Wave w;
      w.count = std::min(opt.wave, opt.devices - started);
      std::vector<std::string> args = {kDevsim, "--if", topo.deviceIf(0), "--count",
                                       std::to_string(w.count), "--base-mac",
                                       MacOf(started + 1), "--timeout", "600"};
      args.insert(args.end(), expect.begin(), expect.end());
      w.sim = std::make_unique<Child>(topo.deviceNs(0), args);
      started += w.count;
      running.push_back(std::move(w));
    }
    for (size_t i = 0; i < running.size();) {
      running[i].status = running[i].sim->Wait(20ms);
      if (running[i].sim->Running()) {
        ++i;
        continue;
      }
      running[i].summary = LineStartingWith(running[i].sim->output(), "summary ");
      if (opt.verbose || running[i].status != 0)
        std::printf("  wave %zu: status %d: %s\n", done.size() + 1, running[i].status,
                    running[i].summary.c_str());
      done.push_back(std::move(running[i]));
      running.erase(running.begin() + static_cast<long>(i));
    }
    const Sample now = Take();
    peak.threads = std::max(peak.threads, now.threads);
    peak.fds = std::max(peak.fds, now.fds);
  }
  // The last devices close 6 s (Close timer) after their CLOSE-REQ.
  const Clock::time_point doneLimit = Clock::now() + 30s;
  while (!StopRequested() && log.Get(exits).count < opt.devices && Clock::now() < doneLimit)
    std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(1500ms);  // a cycle or two: the last threads are joined
  const Sample end = Take();
  const double shiftS = Ms(Clock::now() - t0) / 1000.0;
  server.Stop();
  if (StopRequested()) {
    std::printf("interrupted; namespaces removed\n");
    return 130;
  }

  int simOk = 0, simStatusBad = 0;
  std::vector<double> spans;
  for (const Wave& w : done) {
    simOk += std::atoi(Field(w.summary, "ok").c_str());
    if (w.status != 0) ++simStatusBad;
    spans.push_back(std::atof(Field(w.summary, "span").c_str()) / 1000.0);
  }
  for (const std::string& e : log.Errors()) std::printf("  server: %s", e.c_str());
  const std::string panel = server.PanelText();
  std::printf("\nresults (%s):\n", simOk == opt.devices && log.Get(allDone).count == opt.devices
                                       ? "every device served"
                                       : "SOME DEVICES NOT SERVED");
  std::printf("  devices ok at the simulators          : %d of %d (%d waves with a failure)\n",
              simOk, opt.devices, simStatusBad);
  std::printf("  devices Done on the server            : %d (clients made %d, exits %d, "
              "re-transmits %d, TFTP failures %d)\n",
              log.Get(allDone).count, log.Get(newClient).count, log.Get(exits).count,
              log.Get(resends).count, log.Get(tftpFails).count);
  std::printf("  lines on the panel at the end         : %d Done, %d Error, %d Reworking\n",
              Count(panel, ": Done     "), Count(panel, ": Error    "),
              Count(panel, ": Reworking"));
  std::printf("  shift length                          : %.1f s\n", shiftS);
  if (!spans.empty())
    std::printf("  wave span (first ADVERTISE -> last end): first %.2f s, last %.2f s, median "
                "%.2f s, longest %.2f s\n",
                spans.front(), spans.back(), Median(spans),
                *std::max_element(spans.begin(), spans.end()));
  std::printf("                         threads   descriptors   VmRSS MiB   VmHWM MiB\n");
  auto row = [](const char* name, const Sample& s) {
    std::printf("  %-20s %8ld %13d %11.1f %11.1f\n", name, s.threads, s.fds, s.rssKb / 1024.0,
                s.hwmKb / 1024.0);
  };
  row("start", start);
  std::printf("  %-20s %8ld %13d\n", "peak", peak.threads, peak.fds);
  row("end (no Clear)", end);
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  return simOk == opt.devices && log.Get(allDone).count == opt.devices ? 0 : 1;
}
