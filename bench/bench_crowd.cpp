// skav-bench-crowd: a crowd of simulated devices (256 by default) served at
// once, each with the firmware and two string tables: time to all Done,
// aggregate rate, the server's peak memory, and the longest gap between two
// ADVERTISE frames.
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
#include "engine_process.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

const char* const kDevsim = DevsimPath();

struct Options {
  int devices = 256;
  int firmwareKiB = 1024;
  int tableKiB = 64;
  int files = 0;  // 1: a log file and a record, each line made durable
  int attach = 0;  // 1: a front end on the bench socket (with --server)
  int window = 0;  // 1: the bench window attached, its answers timed (with --server)
  std::string server;  // a program run as "PROGRAM --headless", or in-process
  bool verbose = false;
};

void Usage() {
  std::puts(
      "usage: skav-bench-crowd [--devices N] [--firmware KIB] [--table KIB] [--files 1]\n"
      "                        [--server PROGRAM [--attach 1] [--window 1]] [-v]\n"
      "\n"
      "Serves N simulated devices (default 256) at once on one veth pair, each\n"
      "asking for a firmware of KIB KiB (default 1024) and two string tables of\n"
      "KIB KiB (default 64). Prints the time until every device is Done, the\n"
      "aggregate rate, the server's peak memory (VmHWM of this process, which\n"
      "runs the server) and the longest gap between two ADVERTISE frames (target\n"
      "under 600 ms), as the server sent them and as the devices saw them.\n"
      "--files 1 keeps a log file and a device record, as a bench with both\n"
      "set does, so that their writes (and fdatasync) are in the figures.\n"
      "--server PROGRAM runs \"PROGRAM --headless\" as a process instead, as a\n"
      "bench service does (skav-server: through its engine), and prints its\n"
      "CPU and memory; --attach 1 keeps a front end on its bench socket that\n"
      "takes the text, the panel and the progress rows, and prints the bytes;\n"
      "--window 1 attaches the operator's bench window (offscreen, Transfer\n"
      "Progress and the Debug Window open) and prints how late its event loop\n"
      "ran, how long a sort click took until the engine answered, and how soon\n"
      "its status line counted every outcome.\n"
      "Needs root; makes and removes its own namespaces.");
}

bool ParseArgs(int argc, char** argv, Options& o) {
  // The one option with a text value; the rest are numbers.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::string(argv[i]) == "--server" && i + 1 < argc) {
      o.server = argv[++i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  return ParseOptions(static_cast<int>(rest.size()), rest.data(),
                      {{"--devices", 1, 4000, &o.devices},
                       {"--firmware", 0, 31 * 1024, &o.firmwareKiB},
                       {"--table", 0, 31 * 1024, &o.tableKiB},
                       {"--files", 0, 1, &o.files},
                       {"--attach", 0, 1, &o.attach},
                       {"--window", 0, 1, &o.window}},
                      &o.verbose) &&
         (o.attach + o.window == 0 || !o.server.empty()) && (o.files == 0 || o.server.empty());
}

// The crowd served by a headless server process: time to all Done, its CPU
// and memory, and (with a front end attached) what the socket carried.
int ServeByProcess(const Options& opt, const Topology& topo, const ImagePaths& images,
                   const TempDir& work, Child& sim) {
  const Clock::time_point t0 = Clock::now();
  HeadlessProcess server(topo.serverNs(), opt.server, topo.serverIf(), images, work);
  if (!server.ok()) {
    std::fprintf(stderr, "skav-bench-crowd: cannot start %s\n", opt.server.c_str());
    return 2;
  }
  std::unique_ptr<FrontEndMeter> meter;
  if (opt.attach) {
    meter = std::make_unique<FrontEndMeter>(topo.serverNs(), topo.serverIf());
    if (!meter->Attached()) {
      std::fprintf(stderr, "skav-bench-crowd: the front end could not attach\n");
      return 2;
    }
  }
  std::unique_ptr<Child> window;
  if (opt.window) {
#ifdef SKAV_WINDOW_PROBE_PATH
    window = std::make_unique<Child>(
        topo.serverNs(),
        std::vector<std::string>{SKAV_WINDOW_PROBE_PATH, "--interface", topo.serverIf(),
                                 "--devices", std::to_string(opt.devices)});
#endif
    if (!window || !window->started()) {
      std::fprintf(stderr, "skav-bench-crowd: the bench window was not built (Qt Widgets)\n");
      return 2;
    }
  }
  const std::string done = "exits. TFTP: Done, FW Upgrade: Done, Graceful Closing: Yes.";
  int status = -1;
  Clock::time_point allDone{};
  long peakKb = 0;
  while (!StopRequested() && Clock::now() - t0 < 980s) {
    server.Read(50);
    if (sim.Running()) status = sim.Wait(50ms);
    peakKb = std::max(peakKb, ProcStatusKb("VmHWM", server.pid()));
    if (server.Count(done) >= opt.devices) {
      allDone = Clock::now();
      break;
    }
    // Done shows once the Close timer (6 s) has run out after CLOSE-REQ.
    if (!sim.Running() && status != 0 && Clock::now() - sim.endedAt() > 20s) break;
  }
  // Its status, also when it ended before the last Done.
  status = sim.Wait(30s);
  const double cpu = server.CpuSeconds();
  peakKb = std::max(peakKb, ProcStatusKb("VmHWM", server.pid()));
  FrontEndMeter::Figures fe;
  if (meter) {
    meter->Stop();
    fe = meter->figures();
  }
  if (window) {
    // It ends by itself once its status line shows every outcome.
    window->Wait(10s);
    window->Stop();
  }
  server.Stop();
  if (StopRequested()) {
    std::printf("interrupted; namespaces removed\n");
    return 130;
  }
  const std::string summary = LineStartingWith(sim.output(), "summary ");
  const int doneCount = server.Count(done);
  std::printf("\nresults (%s; %s as a process%s):\n",
              status == 0 ? "every device got what it expected" : "SOME DEVICES FAILED",
              opt.server.c_str(), meter    ? ", a front end attached"
              : window ? ", the bench window attached"
                       : ", no front end");
  std::printf("  devices Done on the server: %d of %d\n", doneCount, opt.devices);
  if (allDone != Clock::time_point{})
    std::printf("  server start -> all Done            : %.2f s\n", Ms(allDone - t0) / 1000.0);
  std::printf("  simulator's own summary             : span %s rate %s\n",
              Field(summary, "span").c_str(), Field(summary, "rate").c_str());
  std::printf("  longest ADVERTISE gap, as seen      : %s (by the simulator)\n",
              Field(summary, "advertise-gap-max").c_str());
  std::printf("  server CPU, whole run               : %.2f s user + system\n", cpu);
  std::printf("  server peak memory (VmHWM)          : %.1f MiB\n", peakKb / 1024.0);
  if (meter) {
    std::printf("  bench socket, to the front end      : %.1f KiB in %.1f s, %.1f KiB/s on "
                "average, %.1f KiB in the busiest second\n",
                fe.bytes / 1024.0, fe.seconds, fe.bytes / 1024.0 / std::max(fe.seconds, 0.001),
                fe.peakSecondBytes / 1024.0);
    std::printf("  messages taken                      : %llu texts, %llu panel, %llu progress; "
                "missed %llu texts, panel resent %u, rows resent %u\n",
                static_cast<unsigned long long>(fe.texts),
                static_cast<unsigned long long>(fe.panels),
                static_cast<unsigned long long>(fe.progress),
                static_cast<unsigned long long>(fe.missedTexts), fe.panelResends,
                fe.progressResends);
  }
  if (window) {
    std::printf("%s", window->output().c_str());
    const std::string shown =
        Field(LineStartingWith(window->output(), "window-probe "), "all-shown-ms");
    if (!shown.empty() && shown != "-1" && allDone != Clock::time_point{}) {
      const double allDoneMs = std::chrono::duration<double, std::milli>(
                                   allDone.time_since_epoch()).count();
      // The bench reads the server's output every 50 ms, so a window that
      // keeps up may count all before the bench has seen the last line.
      std::printf("  the window's status line counted all : %.0f ms after the bench read the "
                  "server's last Done line\n",
                  std::atof(shown.c_str()) - allDoneMs);
    }
  }
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  return status == 0 && doneCount == opt.devices ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    Usage();
    return 2;
  }
  if (!PrepareDeviceBench("skav-bench-crowd")) return 2;
  std::printf("skav-bench-crowd: %d devices at once, firmware %d KiB + string tables 1 "
              "and 2 of %d KiB each%s\n",
              opt.devices, opt.firmwareKiB, opt.tableKiB,
              opt.files ? ", with a log file and a record" : "");
  PrintStartConditions();

  TempDir work;
  if (!work.ok()) return 2;
  std::vector<std::string> expect;
  const ImagePaths images = WriteCrowdImages(work, opt.firmwareKiB, opt.tableKiB, &expect);
  const double perDeviceMiB = (opt.firmwareKiB + 2.0 * opt.tableKiB) / 1024.0;
  const double totalMiB = perDeviceMiB * opt.devices;

  Topology topo(1);
  if (!topo.ok()) {
    std::fprintf(stderr, "skav-bench-crowd: cannot create the namespaces\n");
    return 2;
  }

  TimedLog log;
  const int newClient = log.Watch("New client:");
  // The server's CPU from the first WRQ to the last image acknowledged.
  CpuSpan cpu;
  const int wrq = log.Watch("TX TFTP WRQ", [&cpu] { cpu.Start(); });
  const int uploaded = log.Watch("TFTP uploading done (", [&cpu] { cpu.Stop(); }, true);
  const int allDone = log.Watch("exits. TFTP: Done, FW Upgrade: Done, Graceful Closing: Yes.");
  const int exits = log.Watch("exits.");
  const int resends = log.Watch("re-transmit");
  const int tftpFails = log.Watch("TFTP fails");

  // The devices listen first, so that all of them answer the server's very
  // first ADVERTISE: the burst of CONF-REQs is the hardest moment for the
  // advertisement loop.
  std::vector<std::string> simArgs = {kDevsim, "--if", topo.deviceIf(0), "--count",
                                      std::to_string(opt.devices), "--timeout", "900"};
  simArgs.insert(simArgs.end(), expect.begin(), expect.end());
  Child sim(topo.deviceNs(0), simArgs);
  WaitForCapture(sim.pid(), topo.deviceNs(0), 10s);
  std::this_thread::sleep_for(100ms);
  if (!opt.server.empty()) return ServeByProcess(opt, topo, images, work, sim);
  const long rssBefore = ProcStatusKb("VmRSS");
  const long hwmBefore = ProcStatusKb("VmHWM");
  const int fdsBefore = OpenDescriptors();
  const Clock::time_point t0 = Clock::now();
  BenchServer server(topo.serverNs(), topo.serverIf(), images, 0, &log, false,
                     opt.files ? work.path() : std::string());
  if (!server.ok()) {
    std::fprintf(stderr, "skav-bench-crowd: server: %s\n", server.why().c_str());
    return 2;
  }

  long peakThreads = 0;
  int peakFds = 0;
  int status = -1;
  while (!StopRequested()) {
    status = sim.Wait(100ms);
    peakThreads = std::max(peakThreads, ProcStatusKb("Threads"));
    peakFds = std::max(peakFds, OpenDescriptors());
    if (!sim.Running()) break;
    if (Clock::now() - t0 > 960s) break;
  }
  // Done appears once the Close timer (6 s) has run out after CLOSE-REQ.
  const Clock::time_point doneLimit = Clock::now() + 20s;
  while (!StopRequested() && log.Get(exits).count < opt.devices && Clock::now() < doneLimit) {
    std::this_thread::sleep_for(20ms);
    peakThreads = std::max(peakThreads, ProcStatusKb("Threads"));
    peakFds = std::max(peakFds, OpenDescriptors());
  }
  std::this_thread::sleep_for(1500ms);  // a cycle or two: the last threads are joined
  const long threadsAfter = ProcStatusKb("Threads");
  const int fdsAfter = OpenDescriptors();
  const long hwmRun = ProcStatusKb("VmHWM");
  const long peakVirtual = ProcStatusKb("VmPeak");
  server.Stop();
  if (StopRequested()) {
    std::printf("interrupted; namespaces removed\n");
    return 130;
  }

  const std::string summary = LineStartingWith(sim.output(), "summary ");
  if (status != 0 || opt.verbose) {
    std::printf("simulator exit status %d; its failed devices:\n", status);
    size_t at = 0;
    int shown = 0;
    const std::string& out = sim.output();
    while (at < out.size() && shown < 10) {
      size_t end = out.find('\n', at);
      if (end == std::string::npos) end = out.size();
      const std::string line = out.substr(at, end - at);
      if (line.find(" FAILED ") != std::string::npos || opt.verbose) {
        std::printf("  %s\n", line.c_str());
        ++shown;
      }
      at = end + 1;
    }
  }
  for (const std::string& e : log.Errors()) std::printf("  server: %s", e.c_str());

  const TimedLog::Seen first = log.Get(newClient), w = log.Get(wrq), up = log.Get(uploaded),
                       done = log.Get(allDone), ex = log.Get(exits);
  const double transferS = Ms(up.last - w.first) / 1000.0;
  const std::vector<double>& gaps = server.timing().AdvertiseGapsMs();
  std::printf("\nresults (%s):\n", status == 0 ? "every device got what it expected"
                                               : "SOME DEVICES FAILED");
  std::printf("  devices Done on the server: %d of %d (exits seen: %d; re-transmits: %d; "
              "TFTP failures: %d)\n",
              done.count, opt.devices, ex.count, log.Get(resends).count,
              log.Get(tftpFails).count);
  std::printf("  server start -> all Done            : %.2f s\n", Ms(done.last - t0) / 1000.0);
  std::printf("  first CONF-REQ -> all Done          : %.2f s (includes the 6 s Close "
              "timer after the last CLOSE-REQ)\n",
              Ms(done.last - first.first) / 1000.0);
  std::printf("  first WRQ -> last image acknowledged: %.2f s for %d images, %.1f MiB\n",
              transferS, up.count, totalMiB);
  std::printf("  aggregate rate over that time       : %.2f MiB/s\n", totalMiB / transferS);
  std::printf("  server CPU over that time           : %.2f s user + system, %.4f s/MiB "
              "(the simulator, all devices, whole run: %.2f s)\n",
              cpu.seconds(), cpu.seconds() / totalMiB, sim.cpuSeconds());
  std::printf("  simulator's own summary             : span %s rate %s (first ADVERTISE to "
              "the last device's end)\n",
              Field(summary, "span").c_str(), Field(summary, "rate").c_str());
  std::printf("  longest ADVERTISE gap, as sent      : %.1f ms (%zu gaps; target < 600 "
              "ms)\n",
              gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()),
              gaps.size());
  // The simulator says -1ms when its devices saw fewer than two frames.
  const std::string seenGap = Field(summary, "advertise-gap-max");
  std::printf("  longest ADVERTISE gap, as seen      : %s (by the simulator)\n",
              seenGap == "-1ms" ? "none, the run was shorter than two ADVERTISE frames"
                                : seenGap.c_str());
  std::printf("  server peak memory (VmHWM)          : %.1f MiB (VmRSS before the start "
              "%.1f MiB, VmHWM before %.1f MiB; address space at its peak, VmPeak, %.0f "
              "MiB)\n",
              hwmRun / 1024.0, rssBefore / 1024.0, hwmBefore / 1024.0, peakVirtual / 1024.0);
  std::printf("  peak thread count of the process    : %ld (%ld once every device was Done)\n",
              peakThreads, threadsAfter);
  std::printf("  descriptors of the process          : peak %d (%d before the start, %d once "
              "every device was Done)\n",
              peakFds, fdsBefore, fdsAfter);
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  return status == 0 && done.count == opt.devices ? 0 : 1;
}
