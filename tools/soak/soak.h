// The two long checks of the server under load: the soak (minutes of
// churning devices, junk, button presses and restarts) and Stop under load
// (hundreds of transfers cut short).
#pragma once

#include <cstdint>
#include <string>

namespace soak {

struct SoakOptions {
  double minutes = 3;
  std::string devsim;      ///< the device simulator program
  int maxSims = 4;         ///< simulator processes (waves) at once
  int junkRate = 200;      ///< junk frames a second; 0: none
  uint64_t seed = 0;       ///< 0: from the clock
  bool keep = false;       ///< keep the scratch directory
};

/// 0 when nothing went wrong; 1 on a fault (a device that should have
/// finished and did not, a lost line, a thread, socket or address left
/// behind, a rule of the Debug Window broken); 2 when it could not run.
int RunSoak(const SoakOptions& options);

struct StopLoadOptions {
  int devices = 256;
  int firmwareKiB = 4096;
  int stopAfterMs = 2000;  ///< from the first transfer's start
  int rounds = 1;
  std::string devsim;
  bool keep = false;
};

/// Same exit statuses as RunSoak.
int RunStopUnderLoad(const StopLoadOptions& options);

}  // namespace soak
