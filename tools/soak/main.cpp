// skav-soak: the server under minutes of churn (the soak), or under
// hundreds of transfers at Stop (--stop-under-load). Runs as root; makes
// and removes its own network namespaces.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak/soak.h"

namespace {

#ifdef SKAV_DEVSIM_PATH
const char* const kDevsim = SKAV_DEVSIM_PATH;
#else
const char* const kDevsim = "skav-devsim";
#endif

const char kHelp[] =
    "usage: skav-soak [--minutes M] [options]\n"
    "       skav-soak --stop-under-load [options]\n"
    "\n"
    "Runs the server in-process inside a network namespace it creates, with\n"
    "device simulators in a second namespace joined by a veth pair. Needs root.\n"
    "\n"
    "Soak (default): for M minutes (default 3) the server is started, run for\n"
    "25-45 s and stopped under load, again and again, while simulator waves\n"
    "churn devices through it (normal, lossy, failing, falling silent\n"
    "mid-transfer, vanishing, closing early, malformed, coming back after they\n"
    "were done), a junk process sends random frames, and Clear and the sort\n"
    "buttons are pressed. Reports devices served, outcomes, memory, threads,\n"
    "sockets, and lost lines; exit status 1 on any fault.\n"
    "  --minutes M          duration (default 3; fractions allowed)\n"
    "  --max-sims N         simulator processes at once (default 4)\n"
    "  --junk-rate N        junk frames a second (default 200; 0: none)\n"
    "  --seed N             random seed (default: from the clock)\n"
    "\n"
    "Stop under load (--stop-under-load): N devices each pull a firmware of\n"
    "K KiB; Stop is pressed a while after the first transfer began, with every\n"
    "device mid-transfer. Prints the Stop time against one cycle plus the time\n"
    "the client threads need to end, and the threads, sockets and address\n"
    "entries before and after; exit status 1 on a leftover or a late Stop.\n"
    "  --devices N          devices (default 256)\n"
    "  --firmware-kib K     firmware size (default 4096)\n"
    "  --stop-after MS      Stop this long after the first transfer began\n"
    "                       (default 2000)\n"
    "  --rounds N           Start/Stop rounds (default 1)\n"
    "\n"
    "Both:\n"
    "  --devsim PATH        the device simulator (default: the one built alongside)\n"
    "  --keep               keep the scratch directory (always kept on a fault)\n"
    "  --help               this text\n";

bool Number(const char* text, double lo, double hi, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  soak::SoakOptions soakOpt;
  soak::StopLoadOptions stopOpt;
  soakOpt.devsim = stopOpt.devsim = kDevsim;
  bool stopUnderLoad = false;
  bool seedGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--stop-under-load") {
      stopUnderLoad = true;
      continue;
    }
    if (a == "--keep") {
      soakOpt.keep = stopOpt.keep = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "skav-soak: unknown option or missing value: %s (see --help)\n",
                   a.c_str());
      return 2;
    }
    const char* v = argv[++i];
    double n = 0;
    bool ok = true;
    if (a == "--devsim") {
      soakOpt.devsim = stopOpt.devsim = v;
    } else if (a == "--minutes") {
      ok = Number(v, 0.05, 24 * 60, &n);
      soakOpt.minutes = n;
    } else if (a == "--max-sims") {
      ok = Number(v, 1, 64, &n);
      soakOpt.maxSims = static_cast<int>(n);
    } else if (a == "--junk-rate") {
      ok = Number(v, 0, 100000, &n);
      soakOpt.junkRate = static_cast<int>(n);
    } else if (a == "--seed") {
      ok = Number(v, 1, 1e15, &n);
      soakOpt.seed = static_cast<uint64_t>(n);
      seedGiven = true;
    } else if (a == "--devices") {
      ok = Number(v, 1, 4096, &n);
      stopOpt.devices = static_cast<int>(n);
    } else if (a == "--firmware-kib") {
      ok = Number(v, 1, 1024 * 1024, &n);
      stopOpt.firmwareKiB = static_cast<int>(n);
    } else if (a == "--stop-after") {
      ok = Number(v, 0, 600000, &n);
      stopOpt.stopAfterMs = static_cast<int>(n);
    } else if (a == "--rounds") {
      ok = Number(v, 1, 1000, &n);
      stopOpt.rounds = static_cast<int>(n);
    } else {
      std::fprintf(stderr, "skav-soak: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "skav-soak: bad value for %s: '%s'\n", a.c_str(), v);
      return 2;
    }
  }
  if (!seedGiven)
    soakOpt.seed = static_cast<uint64_t>(
                       std::chrono::system_clock::now().time_since_epoch().count()) %
                       1000000007ULL +
                   static_cast<uint64_t>(getpid());
  if (access(soakOpt.devsim.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "skav-soak: the device simulator '%s' cannot be run (--devsim)\n",
                 soakOpt.devsim.c_str());
    return 2;
  }
  return stopUnderLoad ? soak::RunStopUnderLoad(stopOpt) : soak::RunSoak(soakOpt);
}
