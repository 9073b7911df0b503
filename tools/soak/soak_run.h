// The soak's parts shared by its two files: the kinds of simulator wave,
// a wave, the record of one server run, and the driver that runs them
// (soak_run.cpp) and judges them (soak_check.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "soak/line_audit.h"
#include "soak/sim_report.h"
#include "soak/soak.h"
#include "soak/soak_env.h"
#include "soak/soak_server.h"

namespace soak {

constexpr int kRegion = 3;
// The server's Close and Active timers: how long after its device's last
// word a client reaches Closed.
constexpr int64_t kCloseTimerMs = 6000;
constexpr int64_t kActiveTimerMs = 60000;
// Slack for a server cycle and a busy machine.
constexpr int64_t kMarginMs = 1500;
constexpr int kSimTimeoutS = 60;

/// What the devices of a wave do.
enum class Kind { kNormal, kLossy, kTftpError, kSilentMid, kVanish, kEarlyClose, kMalformed, kRejoin };

inline const char* KindName(Kind k) {
  switch (k) {
    case Kind::kNormal: return "normal";
    case Kind::kLossy: return "lossy";
    case Kind::kTftpError: return "tftp-error";
    case Kind::kSilentMid: return "silent-mid-transfer";
    case Kind::kVanish: return "vanishing";
    case Kind::kEarlyClose: return "early-close";
    case Kind::kMalformed: return "malformed";
    case Kind::kRejoin: return "rejoin";
  }
  return "?";
}

/// The outcome a kind's clients reach, and how long after the simulator's
/// end they reach it.
enum class Outcome { kDone, kError };
inline Outcome Expected(Kind k) {
  return k == Kind::kNormal || k == Kind::kLossy || k == Kind::kRejoin ? Outcome::kDone
                                                                       : Outcome::kError;
}
inline int64_t ClosedAfterMs(Kind k) {
  switch (k) {
    case Kind::kMalformed: return 0;
    case Kind::kVanish: return kActiveTimerMs + 3000;
    default: return kCloseTimerMs;
  }
}

/// One simulator process with its devices.
struct Wave {
  int id = 0;
  Kind kind = Kind::kNormal;
  int run = 0;        // the run it was started in
  uint32_t base = 0;  // low 24 bits of the first MAC
  int count = 0;
  int64_t startMs = 0;
  int64_t endMs = -1;  // when its end was noticed
  bool ended = false;
  bool undisturbed = false;  // started and ended within one run
  bool rejoined = false;     // a rejoin wave has reused its MACs
  bool clearHeld = false;    // rejoin: no Clear while its devices ask
  std::unique_ptr<Child> child;
  SimOutput out;
};

/// The simulator's --base-mac for a wave.
inline std::string MacArg(uint32_t base) {
  char text[32];
  std::snprintf(text, sizeof text, "02:5a:00:%02x:%02x:%02x", base >> 16 & 255,
                base >> 8 & 255, base & 255);
  return text;
}

/// What one server run saw, from Start to the checks after its Stop.
struct RunRecord {
  int run = 0;
  double seconds = 0;
  int wavesStarted = 0;
  int wavesAtStop = 0;
  int clientThreadsAtStop = 0;
  StopTiming stop;
  ProcStats after;
  int clients = 0, done = 0, errors = 0;
  int logDone = 0, logError = 0;
  int simOk = 0, simFailed = 0;  // undisturbed waves
  int shouldHaveFinished = 0;
  int lostLogLines = 0, lostWindowLines = 0, phantomLogLines = 0;
  int junkClients = 0, junkTransfers = 0;  // clients of the junk's MACs
  int exitsDuringStop = 0;  // exit reports once Stop was pressed: no log line
};

/// The soak's driver, which is also the front end's thread: starts and
/// stops the server, presses the buttons, starts the waves and judges them.
class Soak {
 public:
  explicit Soak(const SoakOptions& o) : opt_(o) {}
  int Run();

 private:
  // soak_run.cpp
  bool Setup();
  /// A new wave; with `heldOf`, that wave's devices come back while
  /// Clear is held back.
  void StartWave(int run, Wave* heldOf = nullptr);
  /// Notes the waves that have ended; `running`: the server still runs.
  void PollWaves(int run, bool running);
  /// Clear or one of the sort buttons.
  void Press();
  uint32_t R(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(rng_); }

  // soak_check.cpp
  void Fault(const std::string& what);
  /// Threads, sockets, address entries and the panel right after a Stop.
  void CheckAfterStop(RunRecord& r);
  /// Every undisturbed wave of the run, the Debug Window and the log file.
  void Evaluate(RunRecord& r, int64_t stopMs);
  void Report();

  SoakOptions opt_;
  std::mt19937_64 rng_;
  TempDir dir_;
  std::unique_ptr<NetnsPair> ns_;
  ImagePaths images_;
  std::vector<std::string> expectArgs_;
  std::string logPath_;
  LineAudit audit_;
  std::unique_ptr<SoakServer> server_;
  ProcStats start_;
  std::vector<std::unique_ptr<Wave>> waves_;
  std::unique_ptr<Child> junk_;
  std::vector<RunRecord> runs_;
  uint32_t nextBase_ = 0x000100;
  int clears_ = 0, sorts_ = 0;
  int64_t holdClearUntil_ = -1;
  Wave* heldOrigin_ = nullptr;  // its devices come back at heldLaunchMs_
  int64_t heldLaunchMs_ = -1;
  int rejoinServed_ = 0, rejoinIgnored_ = 0, rejoinHeldIgnored_ = 0;
  std::vector<std::string> faults_;
  int faultCount_ = 0;
};

}  // namespace soak
