// The server as a front end starts it, run in-process inside a namespace
// for the benchmarks, with two observers that cost next to nothing: a
// Debug Window that timestamps chosen lines, and a port wrapper that
// timestamps ADVERTISE sends and each TFTP block on its way in and out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "report/debug_print.h"
#include "report/outcome_writer.h"
#include "report/status_panel.h"
#include "link/l2_if.h"
#include "protocol/server_thread.h"

namespace bench {

/// A Debug Window that keeps no text, only for each watched phrase how
/// often it appeared and when first and last; "[Error]" lines are kept
/// (a few) for the report.
class TimedLog : public LogSink {
 public:
  struct Seen {
    int count = 0;
    Clock::time_point first{}, last{};
  };

  /// Watches `phrase` (before the run starts); returns its index.
  /// `onFirst` runs, on the writing thread, when it first appears (with
  /// `everyTime`, at each appearance).
  int Watch(std::string phrase, std::function<void()> onFirst = nullptr,
            bool everyTime = false);
  void Append(const char* text, size_t len) override;
  Seen Get(int index) const;
  std::vector<std::string> Errors() const;
  /// Forgets every count (between repetitions).
  void Reset();

 private:
  mutable std::mutex mu_;
  std::vector<std::string> phrases_;
  std::vector<std::function<void()>> onFirst_;
  std::vector<bool> everyTime_;
  std::vector<Seen> seen_;
  std::vector<std::string> errors_;
};

/// The process's CPU time (user + system, every thread: the server's)
/// between the first Start and the last Stop; both may be called from any
/// thread, e.g. from TimedLog actions at a transfer's first and last line.
class CpuSpan {
 public:
  void Start();
  void Stop();
  /// Seconds; 0 when it was never started and stopped.
  double seconds() const;

 private:
  mutable std::mutex mu_;
  double start_ = -1, stop_ = -1;
};

/// Wraps the opened interface's port. Frames pass unchanged; the wrapper
/// only reads a few header bytes and the clock.
class TimingPort : public L2_Port {
 public:
  /// `trackBlocks`: record the time of every DATA sent and every ACK
  /// received, by block number (one transfer at a time).
  TimingPort(std::unique_ptr<L2_Port> inner, bool trackBlocks);

  int Send(const uint8_t* frame, int len) override;
  WaitResult Wait(int ms) override { return inner_->Wait(ms); }
  int Dispatch(int count, FrameCallback callback, void* user) override;
  void Break() override { inner_->Break(); }
  bool DeliversToSockets() const override { return inner_->DeliversToSockets(); }
  void CaptureIpv4(bool on) override { inner_->CaptureIpv4(on); }

  /// Gaps between consecutive ADVERTISE sends, in milliseconds. Read after
  /// the server thread has ended.
  const std::vector<double>& AdvertiseGapsMs() const { return advGaps_; }

  /// Per block n of the tracked transfer (read after the server has
  /// stopped): the server's turnaround from the ACK of n captured (the
  /// frame reaching SKAVDRxFrame) to DATA n+1 sent by the client thread,
  /// and the device's from DATA n sent to its ACK captured. Blocks sent
  /// more than once are left out; `resent` counts them.
  void Turnarounds(std::vector<double>* serverUs, std::vector<double>* deviceUs,
                   int* resent) const;

 private:
  static void OnFrame(void* user, const uint8_t* bytes, uint32_t caplen);

  std::unique_ptr<L2_Port> inner_;
  bool trackBlocks_;
  int64_t lastAdvertiseNs_ = -1;
  std::vector<double> advGaps_;
  // Indexed by the 16-bit block number; written by one thread each.
  std::vector<int64_t> dataTxNs_, ackRxNs_;
  std::vector<uint8_t> dataSends_;
};

/// Images for BenchServer: a path per image (0 firmware, 1..6 string
/// tables), empty when not offered.
struct ImagePaths {
  std::string path[7];
};

/// What a bench that serves simulated devices does first: the stop
/// handlers, a check that namespaces and the simulator are there (false,
/// after saying why after `program`'s name, when not), and the soft
/// descriptor limit raised to the hard one, as a front end does.
bool PrepareDeviceBench(const char* program);

/// "load average at start: ..., CPUs, descriptor limit" for the record.
void PrintStartConditions();

/// The images of a crowd of devices, written to `dir`: a firmware of
/// `firmwareKiB` and string tables 1 and 2 of `tableKiB` each. The
/// simulator's options that expect exactly them go to `expectArgs`.
ImagePaths WriteCrowdImages(const TempDir& dir, int firmwareKiB, int tableKiB,
                            std::vector<std::string>* expectArgs);

/// The server thread on the opened interface `ifName` of namespace `ns`,
/// 10.0.0.1/8 on it, the images loaded, a status panel, and `log` as the
/// Debug Window. Its client threads inherit the namespace.
class BenchServer {
 public:
  /// With `filesDir`, the run keeps a log file and a record there, as a
  /// bench with both set does (outcomes.log, devices.jsonl).
  BenchServer(const std::string& ns, const std::string& ifName,
              const ImagePaths& images, int region, TimedLog* log,
              bool trackBlocks, const std::string& filesDir = {});
  ~BenchServer();
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  bool ok() const { return started_; }
  const std::string& why() const { return why_; }
  /// What the window does at Stop; waits for the thread.
  void Stop();
  /// The port wrapper (valid until destruction).
  const TimingPort& timing() const { return *timing_; }
  /// The Device Status panel's text; read it only after Stop.
  std::string PanelText() const { return status_.Text(); }

 private:
  L2_If* link_ = nullptr;
  TimingPort* timing_ = nullptr;
  LogSlot slot_{nullptr};
  StatusText status_;
  SKAVDContext ctx_;
  OutcomeWriter writer_{ctx_.logFile, ctx_.recordFile};
  std::thread thread_;
  bool started_ = false;
  std::string why_;
};

/// Holds a simulator in kernel TFTP mode still (SIGSTOP) while tftpd-hpa
/// takes a push. It would otherwise look at the stored file every 20 ms on
/// the shared CPUs, a cost that a real device does not put on the server's
/// machine and that the tftp-hpa client's runs do not carry. Its capture
/// takes SKAV frames alone in this mode, so the push's frames are not
/// copied to it either way. It misses nothing it needs: it only watches the
/// stored file grow.
class SimPause {
 public:
  void SetPid(pid_t pid) { pid_ = pid; }
  void Pause();
  void Resume();
  /// Resumes a simulator paused for longer than `limit` (a push that never
  /// ended), so that it can report and exit.
  void ResumeIfPausedFor(std::chrono::seconds limit);

 private:
  std::atomic<pid_t> pid_{0};
  std::atomic<bool> paused_{false};
  std::atomic<int64_t> pausedAtMs_{0};
};

/// The server's MAC-address form of a device line ("xx-xx-..."): reads the
/// interface's MAC inside `ns`; empty when it cannot.
std::string InterfaceMacText(const std::string& ns, const std::string& ifName);

}  // namespace bench
