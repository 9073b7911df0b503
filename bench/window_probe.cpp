// skav-bench-window-probe: the operator's bench window, attached to a
// running bench service, as skav-bench-crowd --window 1 starts it in the
// server's namespace. It keeps the window's event loop honest while the
// service serves a crowd: a timer every 10 ms notes how late the loop
// wakes it, and once a second a sort button is clicked and timed until the
// engine's answer is in. It ends with the figures on standard output once
// its status line has shown N outcomes, or at SIGTERM. Runs on Qt's
// offscreen platform, Transfer Progress and the Debug Window open.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "console/gui/bench_window.h"
#include "console/gui/progress_dialog.h"
#include "report/status_panel.h"

namespace {

using namespace bench;

std::atomic<bool> g_stop{false};

constexpr int kTickMs = 10;
constexpr int kClickEveryMs = 1000;

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void Print(const char* what, const std::vector<double>& ms) {
  if (ms.empty()) {
    std::printf("  %-34s none\n", what);
    return;
  }
  std::printf("  %-34s median %6.2f ms   p99 %6.2f ms   max %7.2f ms   (%zu)\n", what,
              Median(ms), Percentile(ms, 99), Percentile(ms, 100), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[1], "--interface") != 0 ||
      std::strcmp(argv[3], "--devices") != 0) {
    std::fputs("usage: skav-bench-window-probe --interface IF --devices N\n", stderr);
    return 2;
  }
  const std::string port = argv[2];
  const int devices = std::atoi(argv[4]);
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop = true; };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);

  std::string why;
  std::unique_ptr<remote::EngineClient> client;
  for (int i = 0; i < 500 && !client && !g_stop; ++i) {
    client = remote::EngineClient::AttachBench(port, &why);
    if (!client) usleep(20 * 1000);
  }
  if (!client) {
    std::printf("window probe: cannot attach to the bench on '%s' (%s)\n", port.c_str(),
                why.c_str());
    return 1;
  }
  auto* window = new CBenchWindow({std::move(client), [] { return true; }}, port, nullptr);
  window->show();
  std::string endedBy;
  // When the status line first counted every device's outcome, on the
  // clock the bench reads too.
  long long allShownMs = -1;
  QObject::connect(&window->Link(), &EngineLink::GotState, [&](const remote::StateNews& s) {
    if (allShownMs >= 0 || s.doneCount + s.errorCount < devices) return;
    allShownMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     Clock::now().time_since_epoch())
                     .count();
    QTimer::singleShot(500, [] { g_stop = true; });
  });
  QObject::connect(&window->Link(), &EngineLink::Ended,
                   [&endedBy](const std::string& reason) { endedBy = reason; });
  window->ProgressWindow()->Create();
  const auto sortButton = [window](int key) {
    return window->findChild<QAbstractButton*>(QString::number(key));
  };

  // How late each tick came, and how much of that the GUI thread spent
  // working rather than waiting for a CPU the crowd's programs held.
  std::vector<double> lateMs, busyMs, clickMs;
  QElapsedTimer since;
  since.start();
  qint64 expected = kTickMs;
  double cpuAtTick = ThreadCpuMs();
  qint64 nextClick = kClickEveryMs;
  bool byStatus = false;
  std::string statusAtEnd = "(none)";
  const double cpu0 = ProcessCpuSeconds();
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (g_stop) {
      // Read before the loop ends: quitting closes the window, which
      // deletes itself on close.
      if (const auto* label = window->findChild<QLabel*>(QString::number(CBenchWindow::kStatus)))
        statusAtEnd = label->text().toStdString();
      app.quit();
      return;
    }
    const qint64 now = since.elapsed();
    const double cpuNow = ThreadCpuMs();
    lateMs.push_back(static_cast<double>(std::max<qint64>(0, now - expected)));
    busyMs.push_back(cpuNow - cpuAtTick);
    expected = now + kTickMs;
    cpuAtTick = cpuNow;
    if (now < nextClick) return;
    nextClick = now + kClickEveryMs;
    byStatus = !byStatus;
    QAbstractButton* b = sortButton(byStatus ? kSortStatus : kSortMacUp);
    if (b == nullptr) return;
    QElapsedTimer click;
    click.start();
    // The click returns once the engine has answered it.
    b->click();
    clickMs.push_back(static_cast<double>(click.nsecsElapsed()) / 1e6);
    expected = since.elapsed() + kTickMs;
    cpuAtTick = ThreadCpuMs();
  });
  tick.start(kTickMs);
  app.exec();

  const double seconds = since.elapsed() / 1000.0;
  const double cpu = ProcessCpuSeconds() - cpu0;
  std::printf("window probe: the bench window attached for %.1f s, Transfer Progress open, "
              "platform %s\n",
              seconds, qPrintable(QApplication::platformName()));
  Print("event loop, late by", lateMs);
  Print("GUI thread's work between ticks", busyMs);
  Print("sort click, until the engine answered", clickMs);
  std::printf("  window process CPU                 : %.2f s (%.0f %% of a core)\n", cpu,
              100.0 * cpu / std::max(seconds, 0.001));
  std::printf("  its status line at the end         : %s\n", statusAtEnd.c_str());
  std::printf("window-probe all-shown-ms=%lld\n", allShownMs);
  if (!endedBy.empty())
    std::printf("  the engine ended the attachment    : %s\n", endedBy.c_str());
  return 0;
}
