// The simulator's command line: what to simulate, what to expect, which
// faults to play.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devsim/image_check.h"

/// The step after which a device falls silent (--silent-after).
enum class SilentStep {
  kNone,
  kConfAck,    ///< takes the CONF-ACK, then says nothing more
  kKeepAlive,  ///< takes the KEEP-ALIVE-ACK, then says nothing more
  kUlReq,      ///< asks for the first image, then never answers the WRQ
  kWrq,        ///< answers the WRQ with ACK 0, then never answers DATA
  kTransfers,  ///< receives every image, then never closes
};

/// The longest ERROR text one Ethernet frame carries: 1500 bytes less the
/// IPv4 and UDP headers, the opcode and code, and the closing zero byte.
constexpr size_t kMaxTftpErrorText = 1500 - 20 - 8 - 4 - 1;

/// Everything the command line sets.
struct DevsimOptions {
  std::string ifName;
  int count = 1;
  int atOnce = 0;  ///< devices at work at once; 0: all
  uint8_t baseMac[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x01};
  int timeoutMs = 60000;  ///< the whole run
  bool verbose = false;

  /// Expectations by image index (0 firmware, 1..6 string tables).
  ImageExpectations expect;
  int expectRegion = -1;      ///< -1: not checked
  int64_t expectStMask = -1;  ///< -1: not checked

  // Kernel TFTP mode: one device with the interface's own MAC; the
  // kernel and a real TFTP server in this namespace take the pushes.
  std::string kernelTftpDir;

  // Faults.
  SilentStep silentAfter = SilentStep::kNone;
  int silentForMs = 3500;
  bool thenClose = false;       ///< close after the silence
  bool noUpload = false;        ///< close without asking for any image
  int dropAckEvery = 0;         ///< drop every Nth ACK (0: none)
  bool loseFinalAck = false;    ///< never acknowledge a final block
  int tftpErrorAt = -1;         ///< ERROR instead of the ACK of this block
  int tftpErrorCode = 3;
  std::string tftpErrorText = "Disk full or allocation exceeded";
  bool wrongPort = false;       ///< also acknowledge block 1 from a stray port
  bool malformedConfReq = false;

  // Junk mode (--junk): random frames instead of devices.
  int junkRate = 0;       ///< frames a second; 0: devices as usual
  uint64_t junkSeed = 0;  ///< random seed; from the clock when not given
};

/// Parses argv. Returns 0 to run, 1 after printing --help (exit 0), 2 after
/// printing a usage error to `error` (exit 2).
int ParseOptions(int argc, char** argv, DevsimOptions& options,
                 std::string& error);

/// The text of --help.
const char* HelpText();
