// skav-bench-tftp: one device, one large firmware pushed by our server to
// tftpd-hpa in a namespace, side by side with the tftp-hpa client's put of
// the same file to the same server; then where our time per block goes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_server.h"
#include "bench_support.h"
#include "thread_hop.h"
#include "wire_observer.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

const char* const kDevsim = DevsimPath();

struct Options {
  int reps = 5;
  int sizeMiB = 16;
  int hopCount = 5000;
  bool verbose = false;
};

void Usage() {
  std::puts(
      "usage: skav-bench-tftp [--reps N] [--size MIB] [--hop-count N] [-v]\n"
      "\n"
      "Pushes one firmware of MIB MiB (default 16) to tftpd-hpa in a network\n"
      "namespace, N times (default 5) with our server and N times with the\n"
      "tftp-hpa client's put, alternating, and prints the medians side by\n"
      "side; then the server's and the device's turnaround per block and the\n"
      "hand-over time of a thread message (N posts, default 5000).\n"
      "Needs root; makes and removes its own namespaces.");
}

bool ParseArgs(int argc, char** argv, Options& o) {
  return ParseOptions(argc, argv,
                      {{"--reps", 1, 100, &o.reps},
                       // block numbers stay 16-bit
                       {"--size", 1, 31, &o.sizeMiB},
                       {"--hop-count", 0, 1000000, &o.hopCount}},
                      &o.verbose);
}

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;  // the pusher's user + system CPU over the push
  bool ok = false;
  WireObserver::Legs wire;  // filled by an observed run
};

// The tftp-hpa client, run in the server namespace toward the same tftpd.
Run ClientPut(const Topology& topo, const std::string& file, const std::string& root,
              int64_t size, bool verbose, bool observe = false) {
  Run r;
  std::unique_ptr<WireObserver> wire;
  if (observe) wire = std::make_unique<WireObserver>(topo.serverNs(), topo.serverIf());
  const std::string stored = root + "/client-firmware";
  unlink(stored.c_str());
  Shell("ip -n " + topo.deviceNs(0) + " addr replace 10.0.0.2/8 dev " + topo.deviceIf(0));
  {
    Child put(topo.serverNs(), {"tftp", "10.0.0.2", "-m", "binary", "-c", "put", file,
                                "client-firmware"});
    const int status = put.Wait(600s);
    r.seconds = Ms(put.endedAt() - put.startedAt()) / 1000.0;
    r.cpuSeconds = put.cpuSeconds();
    r.ok = status == 0 && FileSize(stored) == size;
    if (wire) r.wire = wire->Finish();
    if (!r.ok || verbose)
      std::printf("  tftp put: status %d, stored %lld bytes %s\n", status,
                  static_cast<long long>(FileSize(stored)), put.output().c_str());
  }
  Shell("ip -n " + topo.deviceNs(0) + " addr del 10.0.0.2/8 dev " + topo.deviceIf(0) +
        " 2>/dev/null");
  unlink(stored.c_str());
  return r;
}

struct OurRun : Run {
  std::vector<double> serverUs, deviceUs;
  int resent = 0;
};

// Our server in-process, the simulator with tftpd-hpa as its TFTP side.
OurRun ServerPush(const Topology& topo, const std::string& file,
                  const std::string& root, bool verbose, bool observe = false) {
  OurRun r;
  std::unique_ptr<WireObserver> wire;
  if (observe) wire = std::make_unique<WireObserver>(topo.serverNs(), topo.serverIf());
  TimedLog log;
  SimPause pause;
  CpuSpan cpu;
  const int wrq = log.Watch("TX TFTP WRQ", [&] {
    cpu.Start();
    pause.Pause();
  });
  const int done = log.Watch("TFTP uploading done (file 0,", [&] {
    cpu.Stop();
    pause.Resume();
  });
  log.Watch("TFTP fails", [&] { pause.Resume(); });
  log.Watch("Uploading aborts", [&] { pause.Resume(); });
  ImagePaths images;
  images.path[0] = file;
  BenchServer server(topo.serverNs(), topo.serverIf(), images, 0, &log, true);
  if (!server.ok()) {
    std::printf("  server: %s\n", server.why().c_str());
    return r;
  }
  Child sim(topo.deviceNs(0), {kDevsim, "--if", topo.deviceIf(0), "--kernel-tftp", root,
                               "--expect", "firmware=" + file, "--timeout", "600"});
  pause.SetPid(sim.pid());
  int status = -1;
  const Clock::time_point limit = Clock::now() + 660s;
  while (!StopRequested() && Clock::now() < limit) {
    status = sim.Wait(200ms);
    if (!sim.Running()) break;
    pause.ResumeIfPausedFor(120s);
  }
  pause.Resume();
  if (wire) r.wire = wire->Finish();
  server.Stop();
  const TimedLog::Seen start = log.Get(wrq), end = log.Get(done);
  r.ok = status == 0 && start.count == 1 && end.count == 1;
  r.seconds = Ms(end.last - start.first) / 1000.0;
  r.cpuSeconds = cpu.seconds();
  server.timing().Turnarounds(&r.serverUs, &r.deviceUs, &r.resent);
  if (!r.ok || verbose) {
    std::printf("  simulator: status %d\n%s", status, sim.output().c_str());
    for (const std::string& e : log.Errors()) std::printf("  %s", e.c_str());
  }
  unlink((root + "/firmware").c_str());
  return r;
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

double StartupOverheadMs(const Topology& topo) {
  std::vector<double> ms;
  for (int i = 0; i < 5; ++i) {
    Child c(topo.serverNs(), {"tftp", "-c", "quit"}, true);
    c.Wait(10s);
    ms.push_back(Ms(c.endedAt() - c.startedAt()));
  }
  return Median(ms);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    Usage();
    return 2;
  }
  InstallStopHandlers();
  if (!CanRunBesideTftpHpa("skav-bench-tftp")) return 2;

  const int64_t size = static_cast<int64_t>(opt.sizeMiB) << 20;
  const int blocks = static_cast<int>(size / 512 + 1);
  std::printf("skav-bench-tftp: one device, %d MiB firmware (%d blocks), %d repetitions\n",
              opt.sizeMiB, blocks, opt.reps);
  std::printf("load average at start: %s; %ld CPUs online\n", LoadAverage().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));

  TempDir work, root;
  if (!work.ok() || !root.ok()) return 2;
  const std::string file = work.Write("firmware.bin", Pattern(static_cast<size_t>(size), 1));
  Topology topo(1);
  if (!topo.ok()) {
    std::fprintf(stderr, "skav-bench-tftp: cannot create the namespaces\n");
    return 2;
  }
  if (!SetServerAddress(topo.serverNs(), topo.serverIf())) {
    std::fprintf(stderr, "skav-bench-tftp: cannot set 10.0.0.1 on %s\n", topo.serverIf().c_str());
    return 2;
  }
  const auto tftpd = StartTftpd(topo.deviceNs(0), root.path());

  std::vector<double> ours, theirs, ratios, serverUs, deviceUs, oursCpu, theirsCpu;
  int resent = 0, failures = 0;
  for (int rep = 0; rep < opt.reps && !StopRequested(); ++rep) {
    Run client;
    OurRun our;
    // Alternating the order keeps a slow drift of the machine from
    // favouring one side.
    if (rep % 2 == 0) {
      client = ClientPut(topo, file, root.path(), size, opt.verbose);
      if (StopRequested()) break;
      our = ServerPush(topo, file, root.path(), opt.verbose);
    } else {
      our = ServerPush(topo, file, root.path(), opt.verbose);
      if (StopRequested()) break;
      client = ClientPut(topo, file, root.path(), size, opt.verbose);
    }
    if (StopRequested()) break;
    const double mib = static_cast<double>(size) / (1 << 20);
    std::printf("rep %d: tftp-hpa put %.3f s (%.2f MiB/s, %.4f CPU s/MiB)%s   skav %.3f s "
                "(%.2f MiB/s, %.4f CPU s/MiB)%s   ratio %.3f\n",
                rep + 1, client.seconds, mib / client.seconds, client.cpuSeconds / mib,
                client.ok ? "" : " FAILED", our.seconds, mib / our.seconds,
                our.cpuSeconds / mib, our.ok ? "" : " FAILED", client.seconds / our.seconds);
    std::fflush(stdout);
    if (!client.ok || !our.ok) {
      ++failures;
      continue;
    }
    theirs.push_back(client.seconds);
    ours.push_back(our.seconds);
    theirsCpu.push_back(client.cpuSeconds);
    oursCpu.push_back(our.cpuSeconds);
    ratios.push_back(client.seconds / our.seconds);
    serverUs.insert(serverUs.end(), our.serverUs.begin(), our.serverUs.end());
    deviceUs.insert(deviceUs.end(), our.deviceUs.begin(), our.deviceUs.end());
    resent += our.resent;
  }
  if (StopRequested()) {
    std::printf("interrupted; namespaces removed\n");
    return 130;
  }
  if (ours.empty()) {
    std::printf("no repetition succeeded\n");
    return 1;
  }

  const double mib = static_cast<double>(size) / (1 << 20);
  const double tOurs = Median(ours), tTheirs = Median(theirs);
  const double overheadMs = StartupOverheadMs(topo);
  std::printf("\nmedians over %zu repetitions:\n", ours.size());
  std::printf("  tftp-hpa client put : %.3f s  %6.2f MiB/s  %.1f us/block  %.4f CPU s/MiB\n",
              tTheirs, mib / tTheirs, tTheirs * 1e6 / blocks, Median(theirsCpu) / mib);
  std::printf("  skav server push    : %.3f s  %6.2f MiB/s  %.1f us/block  %.4f CPU s/MiB\n",
              tOurs, mib / tOurs, tOurs * 1e6 / blocks, Median(oursCpu) / mib);
  std::printf("  (CPU: user + system of the pusher over the push: the tftp process; the "
              "server's process from WRQ to done)\n");
  std::printf("  throughput ratio skav/tftp-hpa: %.3f (median of the per-repetition "
              "ratios %.3f; target >= 1.0)\n",
              tTheirs / tOurs, Median(ratios));
  std::printf("  the client's time includes its process start (ip netns exec + tftp: "
              "%.1f ms);\n  without it the ratio is %.3f\n",
              overheadMs, (tTheirs - overheadMs / 1000) / tOurs);
  std::printf("\nwhere a block's time goes (skav runs, %zu blocks, %d sent again):\n",
              serverUs.size(), resent);
  if (serverUs.empty())
    std::printf("  the transfers read their ACKs from their own sockets, past the capture:\n"
                "  the split on the wire below has the server's turnaround\n");
  else
    std::printf("  server: ACK captured (SKAVDRxFrame) -> next DATA sent by the client "
              "thread:\n    mean %.1f us, median %.1f, p90 %.1f, p99 %.1f\n",
              Mean(serverUs), Median(serverUs), Percentile(serverUs, 90),
              Percentile(serverUs, 99));
  if (!deviceUs.empty())
    std::printf("  device: DATA sent -> its ACK captured (veth, tftpd-hpa, the server "
              "thread's wake-up):\n    mean %.1f us, median %.1f, p90 %.1f, p99 %.1f\n",
              Mean(deviceUs), Median(deviceUs), Percentile(deviceUs, 90),
              Percentile(deviceUs, 99));

  if (!StopRequested()) {
    // One more run of each with the observer on the wire: the same split of
    // a block's time for both pushers.
    const Run client = ClientPut(topo, file, root.path(), size, false, true);
    const OurRun our = StopRequested() ? OurRun{} : ServerPush(topo, file, root.path(), false, true);
    if (!StopRequested() && client.ok && our.ok) {
      auto row = [](const char* who, const std::vector<double>& v) {
        std::printf("    %-16s mean %6.1f us, median %6.1f, p90 %6.1f, p99 %7.1f\n", who,
                    Mean(v), Median(v), Percentile(v, 90), Percentile(v, 99));
      };
      std::printf("\non the wire (kernel timestamps on the server's veth end; one more "
                  "run each, %.3f s and %.3f s; frames dropped by the observer: %u, %u):\n",
                  client.seconds, our.seconds, client.wire.dropped, our.wire.dropped);
      std::printf("  pusher's turnaround, ACK n in -> DATA n+1 out:\n");
      row("tftp-hpa client", client.wire.pusherUs);
      row("skav server", our.wire.pusherUs);
      std::printf("  device's turnaround, DATA n out -> ACK n in (veth + tftpd-hpa):\n");
      row("tftp-hpa client", client.wire.deviceUs);
      row("skav server", our.wire.deviceUs);
    }
  }

  tftpd->Stop();

  if (opt.hopCount > 0 && !StopRequested()) {
    const HopFigures hop = MeasureThreadHop(opt.hopCount, 50);
    const std::vector<double>& h = hop.postToHandlerUs;
    const std::vector<double>& t = hop.timerRestartUs;
    std::printf("\nthe hand-over alone (PostThreadMessage -> handler of a sleeping "
                "MsgThread, %zu posts):\n  median %.1f us, p90 %.1f, p99 %.1f\n",
                h.size(), Median(h), Percentile(h, 90), Percentile(h, 99));
    std::printf("the 500 ms timer's restart in the handler (KillTimer + SetTimer):\n"
                "  median %.2f us, p90 %.2f, p99 %.2f\n",
                Median(t), Percentile(t, 90), Percentile(t, 99));
  }
  std::printf("\nload average at end: %s\n", LoadAverage().c_str());
  return failures ? 1 : 0;
}
