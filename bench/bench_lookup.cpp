// skav-bench-lookup: what finding a frame's client costs the server thread
// when a long shift has left thousands of Closed records on the list (they
// stay until Clear or until they are forgotten). Needs no root and no
// namespace: the clients live on an in-memory link.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <array>
#include <memory>
#include <random>
#include <vector>

#include "bench_support.h"
#include "link/memory_port.h"
#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "protocol/server_thread.h"

namespace {

using namespace bench;

struct Options {
  int records = 5000;
  int lookups = 200000;
  int rounds = 5;
  bool verbose = false;
};

void Usage() {
  std::puts(
      "usage: skav-bench-lookup [--records N] [--lookups N] [--rounds N]\n"
      "\n"
      "Makes N clients (default 5000) on an in-memory link, as many devices\n"
      "of one shift would leave them, ends their threads (the records stay,\n"
      "Closed), then times the server thread's lookup of a frame's client by\n"
      "its source MAC: for MACs on the list, picked at random, and for MACs\n"
      "that are not (IPv4 frames of other hosts). Prints nanoseconds per\n"
      "lookup, per round (default 5) of --lookups lookups each.");
}

void MacOf(uint32_t i, uint8_t mac[6]) {
  // Spread over the list's whole order, as the MACs of one batch are.
  const uint32_t k = i * 2654435761u;
  const uint8_t m[6] = {0x02, 0x5a, static_cast<uint8_t>(k >> 24), static_cast<uint8_t>(k >> 16),
                        static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)};
  for (int b = 0; b < 6; ++b) mac[b] = m[b];
}

double NsPerLookup(SKAVDContext& ctx, const std::vector<std::array<uint8_t, 6>>& macs,
                   int lookups, int* found) {
  *found = 0;
  const Clock::time_point t0 = Clock::now();
  for (int i = 0; i < lookups; ++i) {
    const auto& m = macs[static_cast<size_t>(i) % macs.size()];
    if (SKAVDGetClient(m.data(), false, ctx)) ++*found;
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / lookups;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv,
                    {{"--records", 1, 100000, &opt.records},
                     {"--lookups", 1, 100000000, &opt.lookups},
                     {"--rounds", 1, 100, &opt.rounds}},
                    &opt.verbose)) {
    Usage();
    return 2;
  }
  std::printf("skav-bench-lookup: %d records, %d lookups a round, %d rounds\n", opt.records,
              opt.lookups, opt.rounds);
  std::printf("load average at start: %s; %ld CPUs online\n", LoadAverage().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));

  const uint8_t serverMac[6] = {0x02, 0, 0, 0, 0, 1};
  MemoryPort* port = nullptr;
  std::unique_ptr<L2_If> link = MakeMemoryIf(serverMac, &port);
  SKAVDContext ctx;
  ctx.link = link.get();
  for (int i = 0; i < opt.records; ++i) {
    uint8_t mac[6];
    MacOf(static_cast<uint32_t>(i), mac);
    CClientThread* c = SKAVDGetClient(mac, true, ctx);
    if (!c) {
      std::printf("client %d could not be made\n", i);
      SKAVDEndAllClients();
      return 1;
    }
    // A closed record whose thread has gone, as a shift leaves it.
    c->SetState(Closed);
    c->PostQuit();
    if (i % 256 == 255) SKAVDJoinEndedClients();
  }
  std::mt19937 rng(7);
  std::vector<std::array<uint8_t, 6>> present(4096), absent(4096);
  for (auto& m : present) MacOf(static_cast<uint32_t>(rng() % opt.records), m.data());
  for (auto& m : absent) {
    MacOf(static_cast<uint32_t>(rng() % opt.records), m.data());
    m[0] = 0x06;  // another locally administered prefix: never on the list
  }
  std::vector<double> hit, miss;
  for (int round = 1; round <= opt.rounds; ++round) {
    int foundHit = 0, foundMiss = 0;
    hit.push_back(NsPerLookup(ctx, present, opt.lookups, &foundHit));
    miss.push_back(NsPerLookup(ctx, absent, opt.lookups, &foundMiss));
    std::printf("round %d: on the list %.1f ns a lookup (%d found), not on it %.1f ns "
                "(%d found)\n",
                round, hit.back(), foundHit, miss.back(), foundMiss);
  }
  std::printf("median: on the list %.1f ns, not on it %.1f ns a lookup\n", Median(hit),
              Median(miss));
  SKAVDEndAllClients();
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  return 0;
}
