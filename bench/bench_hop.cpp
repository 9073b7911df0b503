// skav-bench-hop: the hand-over from the server thread to a sleeping client
// thread (post -> start of its handler), the 500 ms timer's restart that a
// client makes on every TFTP block, the CPU both cost, and the descriptors a
// running MsgThread holds. Needs no root and no namespace.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "bench_support.h"
#include "thread_hop.h"

namespace {

using namespace bench;

struct Options {
  int count = 20000;
  int gapUs = 50;
  int rounds = 3;
  bool verbose = false;
};

void Usage() {
  std::puts(
      "usage: skav-bench-hop [--count N] [--gap-us US] [--rounds N]\n"
      "\n"
      "Posts N messages of 46 bytes (default 20000), one at a time, to a\n"
      "MsgThread that restarts its 500 ms timer on each (as a client does per\n"
      "TFTP block) and then sleeps; the poster sleeps in poll() meanwhile, as\n"
      "the server thread does. US microseconds (default 50) between messages\n"
      "let the thread fall asleep. Prints, per round (default 3), the\n"
      "post -> handler time, the timer restart, the CPU time of the post and\n"
      "of the receiving thread per message, and the descriptors the thread\n"
      "holds.");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv,
                    {{"--count", 1, 10000000, &opt.count},
                     {"--gap-us", 0, 1000000, &opt.gapUs},
                     {"--rounds", 1, 100, &opt.rounds}},
                    &opt.verbose)) {
    Usage();
    return 2;
  }
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  std::printf("skav-bench-hop: %d messages a round, %d us apart, %d rounds\n", opt.count,
              opt.gapUs, opt.rounds);
  std::printf("load average at start: %s; %ld CPUs online; descriptors soft %llu, hard %llu\n",
              LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              static_cast<unsigned long long>(files.rlim_cur),
              static_cast<unsigned long long>(files.rlim_max));
  int status = 0;
  for (int round = 1; round <= opt.rounds; ++round) {
    const HopFigures f = MeasureThreadHop(opt.count, opt.gapUs);
    const std::vector<double>& h = f.postToHandlerUs;
    const std::vector<double>& t = f.timerRestartUs;
    if (h.empty()) {
      std::printf("round %d: the thread did not start or did not answer\n", round);
      status = 1;
      continue;
    }
    std::printf("round %d: post -> handler median %.1f us, p90 %.1f, p99 %.1f (%zu posts); "
                "timer restart median %.2f us, p99 %.2f; CPU a message: %.2f us posting, "
                "%.2f us on the receiving thread; the thread holds %d descriptors\n",
                round, Median(h), Percentile(h, 90), Percentile(h, 99), h.size(), Median(t),
                Percentile(t, 99), f.postCpuUs, f.threadCpuUs, f.threadFds);
  }
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  return status;
}
