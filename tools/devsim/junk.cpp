// Junk mode: random, truncated and malformed frames at a steady rate. Most
// come from MACs the server has never seen; a few MACs are "adopted" with a
// well-formed CONF-REQ, so that later junk from them reaches a client
// thread (random requests, and datagrams aimed at the UDP port of a
// transfer the junk provoked) and not only the server's frame handler.
#include "devsim/junk.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "devsim/sim_run.h"
#include "link/l2_if.h"
#include "protocol/skav_msg.h"

namespace {

constexpr int kAdopted = 8;
constexpr int kTickMs = 10;
constexpr uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void PutBe16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

uint16_t Checksum(const uint8_t* p, int n) {
  uint32_t sum = 0;
  for (int i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// A MAC the server has a client for (or soon will): its address is
// unknown to us, but a WRQ the server sends it shows the UDP port of the
// transfer it started.
struct Adopted {
  uint8_t mac[6] = {};
  bool used = false;
  uint16_t serverPort = 0;  // the transfer's port on the server, 0: none seen
};

class Junk {
 public:
  Junk(const DevsimOptions& o, Capture& capture, JunkCounts* counts)
      : opt_(o), capture_(capture), n_(*counts), rng_(o.junkSeed) {}

  /// One tick's frames; false on a capture error.
  bool Tick();
  static void OnFrame(void* user, const uint8_t* bytes, uint32_t len) {
    static_cast<Junk*>(user)->Seen(bytes, len);
  }

 private:
  uint32_t R(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(rng_); }
  void RandomBytes(uint8_t* p, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(rng_());
  }
  void Seen(const uint8_t* bytes, uint32_t len);
  void RandomMac(uint8_t mac[6]);
  void SendOne();
  int Skav(uint8_t* frame);
  int Ipv4(uint8_t* frame, const Adopted* target);
  void Send(const uint8_t* frame, int len);

  const DevsimOptions& opt_;
  Capture& capture_;
  JunkCounts& n_;
  std::mt19937_64 rng_;
  uint8_t serverMac_[6] = {};
  bool haveServer_ = false;
  Adopted adopted_[kAdopted];
  int nextAdopt_ = 0;
  int64_t ticks_ = 0;
  int64_t sent_ = 0;
};

void Junk::Seen(const uint8_t* b, uint32_t len) {
  if (len < 14) return;
  const uint16_t type = static_cast<uint16_t>(b[12] << 8 | b[13]);
  if (type == kEtherTypeSkav && len > 16 && b[16] == SKAV_ADVERTISE) {
    std::memcpy(serverMac_, b + 6, 6);
    haveServer_ = true;
    return;
  }
  // A WRQ (UDP to port 69) from the server to an adopted MAC.
  if (type != kEtherTypeIpv4 || len < 14 + 20 + 8 + 2) return;
  const uint8_t* ip = b + 14;
  const int ihl = (ip[0] & 15) * 4;
  if (ihl < 20 || len < static_cast<uint32_t>(14 + ihl + 10) || ip[9] != 17) return;
  const uint8_t* udp = ip + ihl;
  if ((udp[2] << 8 | udp[3]) != 69 || udp[8] != 0 || udp[9] != 2) return;
  for (Adopted& a : adopted_)
    if (a.used && std::memcmp(a.mac, b, 6) == 0)
      a.serverPort = static_cast<uint16_t>(udp[0] << 8 | udp[1]);
}

void Junk::RandomMac(uint8_t mac[6]) {
  RandomBytes(mac, 6);
  // Unicast, locally administered, and never in the 02:5a range the
  // simulated devices use.
  mac[0] = static_cast<uint8_t>((mac[0] & 0xfc) | 0x02);
  if (mac[0] == 0x02 && mac[1] == 0x5a) mac[1] = 0x5b;
}

// The SKAV message behind the Ethernet header; returns the frame length.
int Junk::Skav(uint8_t* f) {
  uint8_t* m = f + 14;
  const uint32_t kind = R(100);
  int len;
  if (kind < 10) {
    // A runt: the server must drop it even when byte 16 says CONF-REQ.
    len = static_cast<int>(R(6));
    RandomBytes(m, len);
    if (len > 2) m[2] = SKAV_CONF_REQ;  // byte 16 of the frame
    ++n_.runts;
    return 14 + len;
  }
  static const uint8_t kCodes[] = {SKAV_ADVERTISE,   SKAV_CONF_ACK,      SKAV_CLOSE_REQ,
                                   SKAV_CLOSE_ACK,   SKAV_KEEP_ALIVE_REQ, SKAV_KEEP_ALIVE_ACK,
                                   SKAV_TFTP_UL_REQ, 0,                   0xff};
  uint8_t code = kCodes[R(sizeof kCodes)];
  len = 6 + static_cast<int>(R(90));
  RandomBytes(m, len);
  if (kind < 50) {
    // A plausible header with option headers of random type and length.
    m[0] = m[1] = 0;
    m[3] = 0;
    PutBe16(m + 4, static_cast<uint16_t>(R(4) == 0 ? R(200) : len));
    for (int at = 6; at + 4 <= len;) {
      static const uint16_t kTypes[] = {SKAV_OPT_MAGIC_NO, SKAV_OPT_DEV_IP, SKAV_OPT_ID,
                                        SKAV_OPT_DEV_REGION, SKAV_OPT_FW_UP, SKAV_OPT_ST_UP,
                                        SKAV_OPT_FILE_NAME, 0x7777};
      PutBe16(m + at, kTypes[R(sizeof kTypes / sizeof kTypes[0])]);
      const int optLen = R(5) == 0 ? static_cast<int>(R(70)) : 4 + static_cast<int>(R(20));
      PutBe16(m + at + 2, static_cast<uint16_t>(optLen));
      at += std::max(optLen, 4);
    }
  }
  m[2] = code;  // random bytes, or random options, behind a known code
  // Some are coded CONF-REQ: a client is created for each, which ends at
  // once as a false creation (the rest of the message is garbage).
  if (R(100) < 4) {
    m[2] = SKAV_CONF_REQ;
    m[4] = 0xff;  // a message length over the frame's: never parses
    ++n_.confReqBad;
  } else {
    ++n_.skav;
  }
  return 14 + len;
}

// An IPv4 packet; aimed at an adopted MAC's transfer port when `target`
// has one.
int Junk::Ipv4(uint8_t* f, const Adopted* target) {
  uint8_t* ip = f + 14;
  ++n_.ipv4;
  if (!target && R(3) == 0) {
    const int len = static_cast<int>(R(600));
    RandomBytes(ip, len);
    return 14 + len;
  }
  const int payload = static_cast<int>(R(40));
  const int total = 20 + 8 + payload;
  RandomBytes(ip, total);
  ip[0] = R(10) == 0 ? static_cast<uint8_t>(0x40 | R(16)) : 0x45;
  ip[1] = 0;
  PutBe16(ip + 2, static_cast<uint16_t>(R(8) == 0 ? R(2000) : total));
  ip[6] = 0x40;
  ip[7] = 0;
  ip[8] = 64;
  ip[9] = R(8) == 0 ? static_cast<uint8_t>(R(256)) : 17;
  // Source 10.x.x.x, destination the server's 10.0.0.1 most of the time.
  ip[12] = 10;
  const uint8_t server[4] = {10, 0, 0, 1};
  if (R(8) != 0) std::memcpy(ip + 16, server, 4);
  uint8_t* udp = ip + 20;
  PutBe16(udp, static_cast<uint16_t>(R(4) == 0 ? 69 : 1024 + R(64000)));
  PutBe16(udp + 2, target && target->serverPort ? target->serverPort
                                                  : static_cast<uint16_t>(R(65536)));
  PutBe16(udp + 4, static_cast<uint16_t>(R(8) == 0 ? R(200) : 8 + payload));
  PutBe16(udp + 6, 0);
  if (payload >= 4) {
    // ACKs of the first blocks, ERRORs, or anything.
    static const uint8_t kOps[] = {4, 4, 4, 5, 1, 3, 0, 9};
    udp[8] = 0;
    udp[9] = kOps[R(sizeof kOps)];
    udp[10] = 0;
    udp[11] = static_cast<uint8_t>(R(4));
  }
  ip[10] = ip[11] = 0;
  if (R(10) != 0) PutBe16(ip + 10, Checksum(ip, 20));
  return 14 + total;
}

void Junk::Send(const uint8_t* frame, int len) {
  ++n_.frames;
  if (capture_.Send(frame, len) != 0) ++n_.sendFailures;
}

void Junk::SendOne() {
  uint8_t frame[14 + 1500];
  uint8_t src[6];
  const uint8_t* dst = haveServer_ ? serverMac_ : kBroadcast;
  const uint32_t kind = R(1000);

  Adopted* from = nullptr;
  if (kind < 300) {
    Adopted& a = adopted_[R(kAdopted)];
    if (a.used) from = &a;
  }
  if (from) {
    std::memcpy(src, from->mac, 6);
  } else {
    RandomMac(src);
  }
  std::memcpy(frame, dst, 6);
  std::memcpy(frame + 6, src, 6);

  int len;
  if (kind >= 995 && haveServer_) {
    // A well-formed CONF-REQ from a fresh MAC: a real client, adopted.
    Adopted& a = adopted_[nextAdopt_];
    nextAdopt_ = (nextAdopt_ + 1) % kAdopted;
    RandomMac(a.mac);
    a.used = true;
    a.serverPort = 0;
    std::memcpy(frame + 6, a.mac, 6);
    PutBe16(frame + 12, kEtherTypeSkav);
    const uint8_t msg[6] = {0, 0, SKAV_CONF_REQ, 0, 0, 6};
    std::memcpy(frame + 14, msg, 6);
    len = 20;
    ++n_.confReqValid;
  } else if (from && kind < 60) {
    // A request for the firmware, so that the server starts a transfer
    // whose port the datagrams below can hit.
    PutBe16(frame + 12, kEtherTypeSkav);
    static const char kName[] = "firmware";
    uint8_t* m = frame + 14;
    m[0] = m[1] = m[3] = 0;
    m[2] = SKAV_TFTP_UL_REQ;
    PutBe16(m + 4, static_cast<uint16_t>(6 + 4 + sizeof kName - 1));
    PutBe16(m + 6, SKAV_OPT_FILE_NAME);
    PutBe16(m + 8, static_cast<uint16_t>(4 + sizeof kName - 1));
    std::memcpy(m + 10, kName, sizeof kName - 1);
    len = 14 + 10 + static_cast<int>(sizeof kName - 1);
    ++n_.skav;
  } else if (kind < 450) {
    PutBe16(frame + 12, kEtherTypeSkav);
    len = Skav(frame);
  } else if (kind < 980) {
    PutBe16(frame + 12, kEtherTypeIpv4);
    len = Ipv4(frame, from);
  } else {
    static const uint16_t kOthers[] = {0x0806, 0x86dd, 0x88cc, 0x0000};
    PutBe16(frame + 12, kOthers[R(4)]);
    len = 14 + static_cast<int>(R(100));
    RandomBytes(frame + 14, len - 14);
    ++n_.other;
  }
  Send(frame, len);
}

bool Junk::Tick() {
  if (capture_.Wait(0) && capture_.Dispatch(&Junk::OnFrame, this) < 0)
    return false;
  // Rates under 100 a second send a frame on every Nth tick.
  ++ticks_;
  const int64_t due = static_cast<int64_t>(opt_.junkRate) * ticks_ * kTickMs / 1000;
  for (; sent_ < due; ++sent_) SendOne();
  return true;
}

}  // namespace

bool RunJunk(const DevsimOptions& options, Capture& capture,
             const volatile int* stop, JunkCounts* counts) {
  Junk junk(options, capture, counts);
  const int64_t end = NowMs() + options.timeoutMs;
  int64_t next = NowMs();
  while (!*stop && NowMs() < end) {
    if (!junk.Tick()) return false;
    next += kTickMs;
    const int64_t wait = next - NowMs();
    if (wait > 0) {
      timespec ts{0, static_cast<long>(wait) * 1000000L};
      nanosleep(&ts, nullptr);
    } else if (wait < -1000) {
      next = NowMs();  // fell far behind: do not burst to catch up
    }
  }
  return true;
}
