// Parsing the simulator's command line.
#include "devsim/options.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

const char* HelpText() {
  return
      "usage: skav-devsim --if IFACE [options]\n"
      "\n"
      "Plays the device side of the recovery exchange for one or many devices\n"
      "on IFACE: waits for ADVERTISE, sends CONF-REQ and KEEP-ALIVE-REQ, asks\n"
      "for the firmware and every offered string table with TFTP-UL-REQ, takes\n"
      "the TFTP pushes, checks them, closes with CLOSE-REQ and prints one line\n"
      "per device. Exit status 0 only when every device got what it expected\n"
      "(or failed as its faults planned); 1 when a device failed otherwise; 2 on\n"
      "a usage or set-up error.\n"
      "Run it only inside a network namespace made for the purpose: it sends\n"
      "frames and captures in promiscuous mode.\n"
      "\n"
      "Devices:\n"
      "  --if IFACE              interface to play on (required)\n"
      "  --count N               number of devices (default 1)\n"
      "  --base-mac MAC          MAC of the first device; device i adds i to its\n"
      "                          last three bytes (default 02:5a:00:00:00:01)\n"
      "  --at-once N             at most N devices at work at once (default: all);\n"
      "                          the next one starts, with the server already\n"
      "                          known, when one has finished (1: one after\n"
      "                          another)\n"
      "  --timeout SEC           limit for the whole run (default 60)\n"
      "  -v, --verbose           log every step to standard error\n"
      "\n"
      "Expectations (IMAGE is firmware or st1..st6):\n"
      "  --expect IMAGE=FILE     the image must equal FILE byte for byte\n"
      "  --expect-size IMAGE=N   the image must be N bytes long\n"
      "  --expect-fnv IMAGE=HEX  the image's 64-bit FNV-1a hash must be HEX\n"
      "                          With any expectation, the CONF-ACK must offer\n"
      "                          exactly the images that have one.\n"
      "  --expect-region CODE    CONF-ACK must carry DEV-REGION CODE (0: none)\n"
      "  --expect-st-mask MASK   CONF-ACK must carry ST-UP MASK (0: none)\n"
      "\n"
      "Real TFTP side:\n"
      "  --kernel-tftp DIR       one device with the interface's own MAC; puts\n"
      "                          the CONF-ACK address on IFACE (/8) and leaves the\n"
      "                          pushes to a TFTP server of this namespace that\n"
      "                          stores into DIR; waits for each file to be\n"
      "                          complete before the next request\n"
      "\n"
      "Faults:\n"
      "  --silent-after STEP     fall silent after STEP: conf-ack, keep-alive,\n"
      "                          ul-req (never answer the WRQ), wrq (answer the\n"
      "                          WRQ, never a DATA block), transfers (never close)\n"
      "  --silent-for MS         how long the silence lasts (default 3500)\n"
      "  --then-close            after the silence, send CLOSE-REQ and wait for\n"
      "                          CLOSE-ACK (otherwise the device just stops)\n"
      "  --no-upload             close at once without asking for any image\n"
      "  --drop-ack N            leave out every Nth ACK (N >= 2)\n"
      "  --lose-final-ack        never acknowledge the final block of an image;\n"
      "                          go on with the next request or CLOSE-REQ\n"
      "  --tftp-error BLOCK      send a TFTP ERROR instead of the ACK of BLOCK\n"
      "                          (0: instead of answering the WRQ); that image\n"
      "                          is given up and the device goes on\n"
      "  --tftp-error-code N     error code of that ERROR (default 3)\n"
      "  --tftp-error-text TEXT  its message, at most 1467 bytes (default \"Disk\n"
      "                          full or allocation exceeded\")\n"
      "  --wrong-port            acknowledge block 1 once more from another UDP\n"
      "                          port; expect ERROR 5 \"Inconsistent UDP source\n"
      "                          port\" there\n"
      "  --malformed-conf-req    send one CONF-REQ whose option is longer than\n"
      "                          the message; expect no answer\n"
      "\n"
      "Junk (instead of devices):\n"
      "  --junk RATE             send RATE random frames a second until --timeout:\n"
      "                          SKAV frames with random codes, options and\n"
      "                          lengths, runts, malformed and (rarely) valid\n"
      "                          CONF-REQs, IPv4/UDP garbage and TFTP-like\n"
      "                          datagrams, other EtherTypes; from random MACs, a\n"
      "                          few of which become clients and then receive junk\n"
      "                          aimed at their transfers; prints one summary line\n"
      "  --junk-seed N           random seed (default: from the clock)\n"
      "\n"
      "Output: one line per device: MAC, ok, failed-as-planned (it gave up an\n"
      "image on purpose: --tftp-error, or a silence during a transfer) or\n"
      "FAILED, address, region, offer, each image (bytes, ms from request to\n"
      "last block, FNV-1a hash), the times of each step, counters, the reason\n"
      "of a failure; then a summary\n"
      "line: devices, wall time, span (first ADVERTISE to the last device's\n"
      "end), bytes, aggregate rate over the span, and the longest gap between\n"
      "two ADVERTISE frames.\n"
      "  --help                  this text\n";
}

namespace {

bool ParseMac(const std::string& text, uint8_t mac[6]) {
  unsigned v[6];
  char sep[5];
  if (std::sscanf(text.c_str(), "%2x%c%2x%c%2x%c%2x%c%2x%c%2x", &v[0], &sep[0],
                  &v[1], &sep[1], &v[2], &sep[2], &v[3], &sep[3], &v[4],
                  &sep[4], &v[5]) != 11)
    return false;
  for (char c : sep)
    if (c != ':' && c != '-') return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
  return true;
}

bool ParseInt(const std::string& text, long long lo, long long hi,
              long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Splits "IMAGE=VALUE"; returns the image index or -1.
int SplitImage(const std::string& arg, std::string* value) {
  size_t eq = arg.find('=');
  if (eq == std::string::npos) return -1;
  *value = arg.substr(eq + 1);
  return ImageIndexFromName(arg.substr(0, eq));
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in),
              std::istreambuf_iterator<char>());
  return !in.bad();
}

bool ParseStep(const std::string& s, SilentStep* step) {
  if (s == "conf-ack") *step = SilentStep::kConfAck;
  else if (s == "keep-alive") *step = SilentStep::kKeepAlive;
  else if (s == "ul-req") *step = SilentStep::kUlReq;
  else if (s == "wrq") *step = SilentStep::kWrq;
  else if (s == "transfers") *step = SilentStep::kTransfers;
  else return false;
  return true;
}

}  // namespace

int ParseOptions(int argc, char** argv, DevsimOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return 1;
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        error = a + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto bad = [&](const std::string& v) {
      error = "bad value for " + a + ": '" + v + "'";
      return 2;
    };
    std::string v;
    long long n = 0;
    if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "--then-close") {
      o.thenClose = true;
    } else if (a == "--no-upload") {
      o.noUpload = true;
    } else if (a == "--lose-final-ack") {
      o.loseFinalAck = true;
    } else if (a == "--wrong-port") {
      o.wrongPort = true;
    } else if (a == "--malformed-conf-req") {
      o.malformedConfReq = true;
    } else if (!value(&v)) {
      if (error.empty()) error = "unknown option " + a;
      return 2;
    } else if (a == "--if") {
      o.ifName = v;
    } else if (a == "--count") {
      if (!ParseInt(v, 1, 65536, &n)) return bad(v);
      o.count = static_cast<int>(n);
    } else if (a == "--at-once") {
      if (!ParseInt(v, 1, 65536, &n)) return bad(v);
      o.atOnce = static_cast<int>(n);
    } else if (a == "--base-mac") {
      if (!ParseMac(v, o.baseMac)) return bad(v);
    } else if (a == "--timeout") {
      if (!ParseInt(v, 1, 86400, &n)) return bad(v);
      o.timeoutMs = static_cast<int>(n * 1000);
    } else if (a == "--expect" || a == "--expect-size" || a == "--expect-fnv") {
      std::string what;
      int index = SplitImage(v, &what);
      if (index < 0) return bad(v);
      ImageExpectation& e = o.expect.image[index];
      e.given = true;
      if (a == "--expect") {
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        if (!ReadWhole(what, bytes.get())) {
          error = "cannot read " + what;
          return 2;
        }
        e.contentFnv = Fnv1a(bytes->data(), bytes->size());
        e.content = bytes;
      } else if (a == "--expect-size") {
        if (!ParseInt(what, 0, INT64_MAX, &n)) return bad(v);
        e.size = n;
      } else {
        char* end = nullptr;
        e.fnv = std::strtoull(what.c_str(), &end, 16);
        if (what.empty() || *end != '\0') return bad(v);
        e.fnvGiven = true;
      }
    } else if (a == "--expect-region") {
      if (!ParseInt(v, 0, 65535, &n)) return bad(v);
      o.expectRegion = static_cast<int>(n);
    } else if (a == "--expect-st-mask") {
      if (!ParseInt(v, 0, 0xffffffffLL, &n)) return bad(v);
      o.expectStMask = n;
    } else if (a == "--kernel-tftp") {
      o.kernelTftpDir = v;
    } else if (a == "--silent-after") {
      if (!ParseStep(v, &o.silentAfter)) return bad(v);
    } else if (a == "--silent-for") {
      if (!ParseInt(v, 0, 3600000, &n)) return bad(v);
      o.silentForMs = static_cast<int>(n);
    } else if (a == "--drop-ack") {
      if (!ParseInt(v, 2, 1000000, &n)) return bad(v);
      o.dropAckEvery = static_cast<int>(n);
    } else if (a == "--tftp-error") {
      if (!ParseInt(v, 0, 65535, &n)) return bad(v);
      o.tftpErrorAt = static_cast<int>(n);
    } else if (a == "--tftp-error-code") {
      if (!ParseInt(v, 0, 65535, &n)) return bad(v);
      o.tftpErrorCode = static_cast<int>(n);
    } else if (a == "--junk") {
      if (!ParseInt(v, 1, 100000, &n)) return bad(v);
      o.junkRate = static_cast<int>(n);
    } else if (a == "--junk-seed") {
      char* end = nullptr;
      o.junkSeed = std::strtoull(v.c_str(), &end, 0);
      if (v.empty() || *end != '\0') return bad(v);
    } else if (a == "--tftp-error-text") {
      if (v.size() > kMaxTftpErrorText) return bad(v);
      o.tftpErrorText = v;
    } else {
      error = "unknown option " + a;
      return 2;
    }
  }
  if (o.ifName.empty()) {
    error = "--if IFACE is required";
    return 2;
  }
  if (!o.kernelTftpDir.empty()) {
    if (o.count != 1) {
      error = "--kernel-tftp plays exactly one device";
      return 2;
    }
    if (o.silentAfter == SilentStep::kWrq ||
        o.silentAfter == SilentStep::kUlReq || o.dropAckEvery ||
        o.loseFinalAck || o.tftpErrorAt >= 0 || o.wrongPort) {
      error = "TFTP faults need the simulator's own TFTP side, not --kernel-tftp";
      return 2;
    }
  }
  return 0;
}
