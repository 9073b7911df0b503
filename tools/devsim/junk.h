// Junk mode: a stream of random and malformed SKAV and IPv4 frames from
// random MACs, the traffic of a segment the server must shrug off.
#pragma once

#include <cstdint>

#include "devsim/capture.h"
#include "devsim/options.h"

/// What a junk run sent, by kind.
struct JunkCounts {
  uint64_t frames = 0;
  uint64_t skav = 0;          ///< SKAV frames other than the two below
  uint64_t confReqBad = 0;    ///< coded CONF-REQ, malformed (false creations)
  uint64_t confReqValid = 0;  ///< well-formed CONF-REQ (a client each)
  uint64_t ipv4 = 0;
  uint64_t runts = 0;         ///< SKAV frames under 20 bytes
  uint64_t other = 0;         ///< neither SKAV nor IPv4
  uint64_t sendFailures = 0;
};

/// Sends `options.junkRate` frames a second until the run's time is up or
/// `*stop` becomes non-zero. Frames go to the server's MAC once an
/// ADVERTISE has shown it, to the broadcast address before. false on a
/// capture error.
bool RunJunk(const DevsimOptions& options, Capture& capture,
             const volatile int* stop, JunkCounts* counts);
