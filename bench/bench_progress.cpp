// skav-bench-progress: what the Transfer Progress window costs the GUI
// thread per refresh with hundreds of devices in flight. Made-up devices on
// a board, advanced by another thread as client threads advance theirs,
// read as the engine reads them (outside the time measured: the engine
// does it); the window runs on Qt's offscreen platform. Needs no root.
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QHeaderView>
#include <QTimer>
#include <QTreeView>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "console/gui/progress_dialog.h"
#include "console/progress_facts.h"
#include "engine/front_hub.h"
#include "engine/progress_feed.h"
#include "report/device_record.h"

namespace {

using namespace bench;

struct Options {
  int devices = 256;
  int ticks = 120;
  int column = kColProgress;
};

void Usage() {
  std::puts(
      "usage: skav-bench-progress [--devices N] [--ticks N] [--sort COLUMN]\n"
      "\n"
      "Fills a progress board with N made-up devices in flight (default 256),\n"
      "which another thread advances block by block (about 250 KiB/s each,\n"
      "image after image, some packets sent again), as the server publishes\n"
      "them twice a second. Opens the Transfer Progress window offscreen,\n"
      "sorted by COLUMN (a heading, default Progress, descending, so that rows\n"
      "move at every refresh), and refreshes it --ticks times (default 120)\n"
      "every 250 ms as its timer does. Prints the GUI thread's time per\n"
      "refresh (the rows alone, and with the repaint they cause), its CPU\n"
      "time, and the load average.");
}

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (std::strcmp(argv[i], "--devices") == 0 && more) {
      o.devices = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--ticks") == 0 && more) {
      o.ticks = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--sort") == 0 && more) {
      const char* name = argv[++i];
      o.column = -1;
      for (int c = 0; c < kProgressColumns; ++c) {
        if (std::strcmp(ProgressColumnTitle(c), name) == 0) o.column = c;
      }
      if (o.column < 0) return false;
    } else {
      return false;
    }
  }
  return o.devices > 0 && o.ticks > 0;
}

ProgressRow MadeUpDevice(int i) {
  ProgressRow row;
  const uint8_t mac[6] = {0x02, 0x5a, 0x00, 0x01, static_cast<uint8_t>(i >> 8),
                          static_cast<uint8_t>(i)};
  std::memcpy(row.mac, mac, 6);
  const uint32_t host = 0x0a000002u + static_cast<uint32_t>(i);
  const uint8_t ip[4] = {10, static_cast<uint8_t>(host >> 16), static_cast<uint8_t>(host >> 8),
                         static_cast<uint8_t>(host)};
  std::memcpy(&row.ipAddr, ip, 4);
  row.firmwareOffered = true;
  row.stMask = 0x3f;
  auto live = std::make_shared<DeviceLive>();
  live->state = TftpSending;
  // Each starts at another point of its firmware, so the rows differ.
  live->BeginTransfer(0, 1024 * 1024);
  live->blocks = DeviceLive::PackBlocks(0, static_cast<uint32_t>(i * 7 % 2000), 2049);
  row.live = live;
  return row;
}

// Plays every device's client thread (one writer per device, as there):
// a block every 2 ms, every 50th block sent again, the next image once one
// is through; and the server thread, publishing the rows twice a second.
void Feed(std::vector<ProgressRow> rows, ProgressBoard& board, const std::atomic<bool>& stop) {
  using namespace std::chrono;
  auto nextPublish = steady_clock::now();
  while (!stop.load(std::memory_order_relaxed)) {
    for (ProgressRow& row : rows) {
      auto& live = const_cast<DeviceLive&>(*row.live);
      const BlockCount b = live.Blocks();
      if (b.acked + 1 >= b.total) {
        live.ImageSent(512);
        live.BeginTransfer((b.image + 1) % kLiveImages, b.image == 6 ? 1024 * 1024 : 64 * 1024);
        continue;
      }
      live.Acked(b.acked + 1, 512);
      if ((b.acked + 1) % 50 == 0) live.Resent();
    }
    if (steady_clock::now() >= nextPublish) {
      board.Publish(rows);
      nextPublish += milliseconds(500);
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void Print(const char* what, const std::vector<double>& ms) {
  std::printf("  %-28s median %6.2f ms   p99 %6.2f ms   max %6.2f ms\n", what, Median(ms),
              Percentile(ms, 99), Percentile(ms, 100));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    Usage();
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);

  std::vector<ProgressRow> rows;
  for (int i = 0; i < options.devices; ++i) rows.push_back(MadeUpDevice(i));
  ProgressBoard board;
  board.Publish(rows);
  std::atomic<bool> stop{false};
  std::thread feeder(Feed, rows, std::ref(board), std::cref(stop));

  // The engine's side of the rows, read as often as it sends them.
  constexpr int kPeriodMs = FrontHub::kProgressMs;
  ProgressFeed feed;
  feed.Read(board.Rows(), 0);
  CProgressDialog window(nullptr);
  window.Take(feed.Whole());
  window.Create();
  window.View()->sortByColumn(options.column, Qt::DescendingOrder);
  app.processEvents();

  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  std::printf("Transfer Progress window, %d devices in flight, sorted by %s (descending), "
              "%d refreshes every %d ms, platform %s\n",
              options.devices, ProgressColumnTitle(options.column), options.ticks, kPeriodMs,
              qPrintable(QApplication::platformName()));
  std::printf("  load average at start: %s; ulimit -n %ld\n", LoadAverage().c_str(),
              static_cast<long>(files.rlim_cur));

  std::vector<double> refreshMs;
  std::vector<double> withPaintMs;
  std::vector<double> cpuMs;
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now();
  for (int i = 0; i < options.ticks; ++i) {
    next += std::chrono::milliseconds(kPeriodMs);
    while (Clock::now() < next) {
      app.processEvents(QEventLoop::AllEvents, 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    feed.Read(board.Rows(), SteadyMs());
    const double cpu0 = ThreadCpuMs();
    const auto t0 = Clock::now();
    window.Take(feed.Changes());
    const auto t1 = Clock::now();
    // What the operator's screen costs: every row the refresh changed is
    // painted now, not when the event loop gets round to it.
    window.View()->viewport()->repaint();
    app.processEvents();
    const auto t2 = Clock::now();
    refreshMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    withPaintMs.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
    cpuMs.push_back(ThreadCpuMs() - cpu0);
  }
  stop = true;
  feeder.join();

  Print("refresh (rows, sort, summary)", refreshMs);
  Print("refresh + repaint", withPaintMs);
  Print("GUI thread CPU per refresh", cpuMs);
  std::printf("  share of the GUI thread at one refresh per %d ms: %.1f %% (median)\n",
              kPeriodMs, 100.0 * Median(withPaintMs) / kPeriodMs);
  std::printf("  load average at end: %s\n", LoadAverage().c_str());
  window.close();
  return 0;
}
