// skav-bench-parallel: several devices at once (8 by default), each in a
// namespace of its own with its own tftpd-hpa, pushed a firmware by our
// server, side by side with as many tftp-hpa clients putting the same file
// to the same servers at once.
#include <sched.h>
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
// With --pin, device i's tftpd-hpa (and the child it forks for a transfer)
// and whichever pushes to it run on core i modulo the cores online, for both
// peers alike: the figures then show what a push costs once the scheduler's
// choice of where each pair runs is taken out.
bool gPin = false;
void PinTo(pid_t pid, int i) {
  if (!gPin) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(i % static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)), &set);
  sched_setaffinity(pid, sizeof set, &set);
}

struct Options {
  int devices = 8;
  int reps = 3;
  int sizeMiB = 4;
  bool verbose = false;
};

void Usage() {
  std::puts(
      "usage: skav-bench-parallel [--devices N] [--reps N] [--size MIB] [--pin] [-v]\n"
      "\n"
      "N devices (default 8), each in a network namespace of its own behind a\n"
      "bridge, each with its own tftpd-hpa. Our server pushes a firmware of MIB\n"
      "MiB (default 4) to all of them at once; N tftp-hpa clients put the same\n"
      "file to the same servers at once. Repeated (default 3 times, the order\n"
      "alternating); prints the aggregate rates side by side (target >= 1.0).\n"
      "--pin keeps each device's TFTP server and its pusher on one core, for\n"
      "both peers alike.\n"
      "Needs root; makes and removes its own namespaces.");
}

bool ParseArgs(int argc, char** argv, Options& o) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::string(argv[i]) == "--pin")
      gPin = true;
    else
      rest.push_back(argv[i]);
  }
  return ParseOptions(static_cast<int>(rest.size()), rest.data(),
                      {{"--devices", 2, 64, &o.devices},
                       {"--reps", 1, 100, &o.reps},
                       {"--size", 1, 31, &o.sizeMiB}},
                      &o.verbose);
}

struct Run {
  double spanS = 0;                // first start to last end
  std::vector<double> eachS;       // every transfer on its own
  double startSpreadS = 0;         // first start to last start
  double cpuS = 0;                 // the pushers' user + system CPU
  bool ok = false;
};

std::string DeviceAddr(int i) { return "10.0.0." + std::to_string(2 + i); }

Run ClientPuts(const Topology& topo, const std::vector<std::unique_ptr<TempDir>>& roots,
               const std::string& file, int64_t size, bool verbose) {
  Run r;
  const int n = topo.devices();
  // The server namespace's neighbour table still maps the addresses the
  // devices had in our runs (given in the order of their CONF-REQs), which
  // need not be these: a stale entry costs a transfer seconds of timeouts.
  std::string cmd = "ip -n " + topo.serverNs() + " neigh flush all; ";
  for (int i = 0; i < n; ++i) {
    cmd += "ip -n " + topo.deviceNs(i) + " neigh flush all; ";
    cmd += "ip -n " + topo.deviceNs(i) + " addr replace " + DeviceAddr(i) + "/8 dev " +
           topo.deviceIf(i) + "; ";
    unlink((roots[i]->path() + "/client-firmware").c_str());
  }
  Shell(cmd);
  std::vector<std::unique_ptr<Child>> puts;
  for (int i = 0; i < n; ++i)
    puts.push_back(std::make_unique<Child>(
        topo.serverNs(), std::vector<std::string>{"tftp", DeviceAddr(i), "-m", "binary", "-c",
                                                  "put", file, "client-firmware"}));
  for (int i = 0; i < n; ++i) PinTo(puts[i]->pid(), i);
  r.ok = true;
  // A client's end is when it is reaped: reaped in order, every one that
  // ended before the first would be dated to the first one's end.
  const Clock::time_point limit = Clock::now() + 600s;
  for (bool running = true; running && !StopRequested() && Clock::now() < limit;) {
    running = false;
    for (auto& p : puts) running = p->Running() || running;
    if (running) usleep(1000);
  }
  Clock::time_point first = puts[0]->startedAt(), last = first, lastStart = first;
  for (int i = 0; i < n; ++i) {
    const int status = puts[i]->Wait(600s);
    const std::string stored = roots[i]->path() + "/client-firmware";
    const bool good = status == 0 && FileSize(stored) == size;
    if (!good || verbose)
      std::printf("  tftp put %s: status %d, stored %lld bytes %s\n", DeviceAddr(i).c_str(),
                  status, static_cast<long long>(FileSize(stored)), puts[i]->output().c_str());
    r.ok = r.ok && good;
    first = std::min(first, puts[i]->startedAt());
    lastStart = std::max(lastStart, puts[i]->startedAt());
    last = std::max(last, puts[i]->endedAt());
    r.eachS.push_back(Ms(puts[i]->endedAt() - puts[i]->startedAt()) / 1000.0);
    r.cpuS += puts[i]->cpuSeconds();
  }
  r.spanS = Ms(last - first) / 1000.0;
  r.startSpreadS = Ms(lastStart - first) / 1000.0;
  cmd.clear();
  for (int i = 0; i < n; ++i) {
    cmd += "ip -n " + topo.deviceNs(i) + " addr del " + DeviceAddr(i) + "/8 dev " +
           topo.deviceIf(i) + " 2>/dev/null; ";
    unlink((roots[i]->path() + "/client-firmware").c_str());
  }
  Shell(cmd);
  return r;
}

Run ServerPushes(const Topology& topo, const std::vector<std::unique_ptr<TempDir>>& roots,
                 const std::vector<std::string>& macs, const std::string& file,
                 bool verbose) {
  Run r;
  const int n = topo.devices();
  TimedLog log;
  std::vector<int> wrq, done;
  // Each simulator sleeps while its own push runs (see SimPause).
  std::vector<SimPause> pauses(static_cast<size_t>(n));
  // From the first WRQ to the last done.
  CpuSpan cpu;
  for (int i = 0; i < n; ++i) {
    SimPause* pause = &pauses[static_cast<size_t>(i)];
    const std::string mac = "[" + macs[i] + "] ";
    wrq.push_back(log.Watch(mac + "TX TFTP WRQ", [pause, &cpu, i] {
      PinTo(0, i);
      cpu.Start();
      pause->Pause();
    }));
    done.push_back(log.Watch(mac + "TFTP uploading done (file 0,", [pause, &cpu] {
      cpu.Stop();
      pause->Resume();
    }));
    log.Watch(mac + "TFTP fails", [pause] { pause->Resume(); });
    log.Watch(mac + "RX TFTP Error", [pause] { pause->Resume(); });
  }
  // The devices listen before the server starts, so that all of them answer
  // its first ADVERTISE and start together, as the clients do.
  std::vector<std::unique_ptr<Child>> sims;
  for (int i = 0; i < n; ++i) {
    sims.push_back(std::make_unique<Child>(
        topo.deviceNs(i),
        std::vector<std::string>{kDevsim, "--if", topo.deviceIf(i), "--kernel-tftp",
                                 roots[i]->path(), "--expect", "firmware=" + file,
                                 "--timeout", "600"}));
    pauses[static_cast<size_t>(i)].SetPid(sims.back()->pid());
  }
  for (int i = 0; i < n; ++i) WaitForCapture(sims[i]->pid(), topo.deviceNs(i), 10s);
  // The filter is set just after the socket is made.
  std::this_thread::sleep_for(100ms);
  ImagePaths images;
  images.path[0] = file;
  BenchServer server(topo.serverNs(), topo.serverIf(), images, 0, &log, false);
  if (!server.ok()) {
    std::printf("  server: %s\n", server.why().c_str());
    return r;
  }
  r.ok = true;
  const Clock::time_point limit = Clock::now() + 660s;
  for (int i = 0; i < n; ++i) {
    int status = -1;
    while (!StopRequested() && Clock::now() < limit) {
      status = sims[i]->Wait(200ms);
      if (!sims[i]->Running()) break;
      for (SimPause& p : pauses) p.ResumeIfPausedFor(120s);
    }
    if (status != 0 || verbose)
      std::printf("  simulator %d: status %d\n%s", i, status, sims[i]->output().c_str());
    r.ok = r.ok && status == 0;
  }
  for (SimPause& p : pauses) p.Resume();
  server.Stop();
  Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min(),
                    lastStart = Clock::time_point::min();
  for (int i = 0; i < n; ++i) {
    const TimedLog::Seen s = log.Get(wrq[i]), e = log.Get(done[i]);
    if (s.count != 1 || e.count != 1) {
      r.ok = false;
      continue;
    }
    first = std::min(first, s.first);
    lastStart = std::max(lastStart, s.first);
    last = std::max(last, e.last);
    r.eachS.push_back(Ms(e.last - s.first) / 1000.0);
  }
  if (r.ok) {
    r.cpuS = cpu.seconds();
    r.spanS = Ms(last - first) / 1000.0;
    r.startSpreadS = Ms(lastStart - first) / 1000.0;
  }
  for (const std::string& e : log.Errors()) std::printf("  server: %s", e.c_str());
  for (int i = 0; i < n; ++i) unlink((roots[i]->path() + "/firmware").c_str());
  return r;
}

double Mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0 : s / static_cast<double>(v.size());
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    Usage();
    return 2;
  }
  InstallStopHandlers();
  if (!CanRunBesideTftpHpa("skav-bench-parallel")) return 2;
  const int n = opt.devices;
  const int64_t size = static_cast<int64_t>(opt.sizeMiB) << 20;
  const double totalMiB = static_cast<double>(n) * opt.sizeMiB;
  std::printf("skav-bench-parallel: %d devices at once, %d MiB each, %d repetitions%s\n", n,
              opt.sizeMiB, opt.reps, gPin ? ", each pair on one core" : "");
  std::printf("load average at start: %s; %ld CPUs online\n", LoadAverage().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));

  TempDir work;
  if (!work.ok()) return 2;
  const std::string file = work.Write("firmware.bin", Pattern(static_cast<size_t>(size), 7));
  std::vector<std::unique_ptr<TempDir>> roots;
  for (int i = 0; i < n; ++i) {
    roots.push_back(std::make_unique<TempDir>());
    if (!roots.back()->ok()) return 2;
  }
  Topology topo(n);
  if (!topo.ok()) {
    std::fprintf(stderr, "skav-bench-parallel: cannot create the namespaces\n");
    return 2;
  }
  if (!SetServerAddress(topo.serverNs(), topo.serverIf())) {
    std::fprintf(stderr, "skav-bench-parallel: cannot set 10.0.0.1\n");
    return 2;
  }
  std::vector<std::string> macs;
  std::vector<std::unique_ptr<Child>> tftpds;
  for (int i = 0; i < n; ++i) {
    macs.push_back(InterfaceMacText(topo.deviceNs(i), topo.deviceIf(i)));
    tftpds.push_back(StartTftpd(topo.deviceNs(i), roots[i]->path()));
    PinTo(tftpds.back()->pid(), i);
  }

  std::vector<double> ours, theirs, oursEach, theirsEach, oursCpu, theirsCpu;
  int failures = 0;
  for (int rep = 0; rep < opt.reps && !StopRequested(); ++rep) {
    Run client, our;
    if (rep % 2 == 0) {
      client = ClientPuts(topo, roots, file, size, opt.verbose);
      if (StopRequested()) break;
      our = ServerPushes(topo, roots, macs, file, opt.verbose);
    } else {
      our = ServerPushes(topo, roots, macs, file, opt.verbose);
      if (StopRequested()) break;
      client = ClientPuts(topo, roots, file, size, opt.verbose);
    }
    if (StopRequested()) break;
    std::printf("rep %d: %d tftp-hpa puts %.3f s (%.2f MiB/s, %.4f CPU s/MiB)%s   skav %.3f s "
                "(%.2f MiB/s, %.4f CPU s/MiB)%s   ratio %.3f   (starts spread over %.0f ms and "
                "%.0f ms)\n",
                rep + 1, n, client.spanS, totalMiB / client.spanS, client.cpuS / totalMiB,
                client.ok ? "" : " FAILED", our.spanS, totalMiB / our.spanS,
                our.cpuS / totalMiB, our.ok ? "" : " FAILED", client.spanS / our.spanS,
                client.startSpreadS * 1000, our.startSpreadS * 1000);
    std::fflush(stdout);
    if (!client.ok || !our.ok) {
      ++failures;
      continue;
    }
    theirs.push_back(client.spanS);
    ours.push_back(our.spanS);
    theirsEach.push_back(Mean(client.eachS));
    theirsCpu.push_back(client.cpuS);
    oursCpu.push_back(our.cpuS);
    oursEach.push_back(Mean(our.eachS));
  }
  for (auto& t : tftpds) t->Stop();
  if (StopRequested()) {
    std::printf("interrupted; namespaces removed\n");
    return 130;
  }
  if (ours.empty()) {
    std::printf("no repetition succeeded\n");
    return 1;
  }
  const double tOurs = Median(ours), tTheirs = Median(theirs);
  std::printf("\nmedians over %zu repetitions (first start to last end):\n", ours.size());
  std::printf("  %d tftp-hpa clients : %.3f s  aggregate %6.2f MiB/s  (one transfer takes "
              "%.3f s on average)  %.4f CPU s/MiB\n",
              n, tTheirs, totalMiB / tTheirs, Median(theirsEach), Median(theirsCpu) / totalMiB);
  std::printf("  skav server        : %.3f s  aggregate %6.2f MiB/s  (one transfer takes "
              "%.3f s on average)  %.4f CPU s/MiB\n",
              tOurs, totalMiB / tOurs, Median(oursEach), Median(oursCpu) / totalMiB);
  std::printf("  aggregate ratio skav/tftp-hpa: %.3f (target >= 1.0)\n", tTheirs / tOurs);
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  return failures ? 1 : 0;
}
