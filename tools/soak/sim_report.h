// Reading what a device simulator printed: one line per device and a
// summary line (or the junk mode's one line).
#pragma once

#include <string>
#include <vector>

#include "soak/line_audit.h"

namespace soak {

/// One device line.
struct SimDeviceLine {
  MacKey mac = 0;
  bool ok = false;      ///< went as planned (also failed as planned)
  std::string reason;  ///< why it failed, empty when ok
  std::string note;
  int wrq = 0;         ///< WRQs seen (re-sends included)
  int data = 0;        ///< DATA blocks seen
  int dupData = 0;     ///< DATA blocks seen twice: a lost ACK or a re-send
  int dropped = 0;     ///< ACKs left out on purpose
  int incomplete = 0;  ///< images asked for and not received whole
};

struct SimOutput {
  std::vector<SimDeviceLine> devices;
  bool haveSummary = false;
  std::string junkLine;  ///< "junk frames=..." of the junk mode
};

SimOutput ParseSimOutput(const std::string& text);

}  // namespace soak
