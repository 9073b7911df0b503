// A client record driven by hand for state-machine and TFTP tests: its
// timers are recorded instead of run, its frames land in a MemoryPort and
// its Debug Window lines in a recording sink. No thread is started.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "report/debug_print.h"
#include "link/memory_port.h"
#include "protocol/client_thread.h"
#include "transfer/upload_images.h"

namespace harness {

inline const uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline const uint8_t kDeviceMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline const char kMacTag[] = "[00-11-22-33-44-55]";

/// Keeps every appended text as one entry, in order.
class RecordingLog : public LogSink {
 public:
  void Append(const char* text, size_t len) override { AppendNoted(text, len, LineNote::kNone); }
  void AppendNoted(const char* text, size_t len, LineNote note) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(text, len);
    notes_.push_back(note);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  /// The note of each entry, in the same order.
  std::vector<LineNote> Notes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return notes_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
    notes_.clear();
  }
  /// Number of entries exactly equal to `line`.
  int Count(const std::string& line) const {
    int n = 0;
    for (const auto& l : Lines()) n += l == line;
    return n;
  }
  bool Has(const std::string& line) const { return Count(line) > 0; }
  /// Entries that contain `part`, in order.
  std::vector<std::string> Matching(const std::string& part) const {
    std::vector<std::string> out;
    for (const auto& l : Lines())
      if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  std::vector<LineNote> notes_;
};

/// A client whose timer starts and stops are recorded; expiry is driven by
/// calling SKAVDOnTimer.
class TimedClient : public CClientThread {
 public:
  using CClientThread::CClientThread;

  uint32_t SetTimer(uint32_t ms) override {
    started.push_back(ms);
    return failTimers ? 0 : ++lastId;
  }
  void KillTimer(uint32_t id) override { killed.push_back(id); }

  std::vector<uint32_t> started;  ///< durations, in start order
  std::vector<uint32_t> killed;   ///< ids, in stop order
  uint32_t lastId = 0;
  bool failTimers = false;
};

/// One device's client on an in-memory link, with images owned here in
/// exact-size heap blocks (so that reading past an image is caught).
struct Rig {
  MemoryPort* port = nullptr;
  std::unique_ptr<L2_If> link;
  RecordingLog log;
  LogSlot slot{&log};
  UploadImages images;
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  std::unique_ptr<TimedClient> client;

  Rig() { link = MakeMemoryIf(kServerMac, &port); }

  /// Loads image `index` with `content` (an empty one is loaded, len 0).
  void SetImage(int index, const std::vector<uint8_t>& content) {
    blocks.emplace_back(new uint8_t[content.empty() ? 1 : content.size()]);
    if (!content.empty())
      std::memcpy(blocks.back().get(), content.data(), content.size());
    images.buf[index] = blocks.back().get();
    images.len[index] = static_cast<uint32_t>(content.size());
    if (index > 0) images.stMask |= 1u << (index - 1);
  }

  /// Creates the client once the images are set; address 10.0.0.2.
  TimedClient& MakeClient(int32_t regionCode = 0) {
    client = std::make_unique<TimedClient>(link.get(), &slot, kDeviceMac,
                                           &images, regionCode);
    const uint8_t addr[4] = {10, 0, 0, 2};
    std::memcpy(&client->ipAddr, addr, 4);
    return *client;
  }

  std::vector<MemoryPort::Frame> Sent() const { return port->Sent(); }
};

/// Descriptors this process holds right now (a transfer's socket among
/// them).
inline int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

/// Bytes of `n` counting up from `seed`, wrapping at 251 so that blocks
/// differ from each other.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<uint8_t>((seed + i) % 251);
  return out;
}

/// The test's own Internet checksum, for building input packets.
inline uint16_t OnesComplementSum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
  if (n % 2) sum += p[n - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

/// An IPv4/UDP packet from 10.0.0.2 to 10.0.0.1 as a device sends it.
/// Ports in host order.
inline std::vector<uint8_t> DevicePacket(uint16_t srcPort, uint16_t dstPort,
                                         const std::vector<uint8_t>& payload) {
  const size_t udpLen = 8 + payload.size();
  const size_t total = 20 + udpLen;
  std::vector<uint8_t> p = {0x45,
                            0x00,
                            uint8_t(total >> 8),
                            uint8_t(total),
                            0x12,
                            0x34,
                            0x40,
                            0x00,
                            0x40,
                            0x11,
                            0x00,
                            0x00,
                            10,
                            0,
                            0,
                            2,
                            10,
                            0,
                            0,
                            1,
                            uint8_t(srcPort >> 8),
                            uint8_t(srcPort),
                            uint8_t(dstPort >> 8),
                            uint8_t(dstPort),
                            uint8_t(udpLen >> 8),
                            uint8_t(udpLen),
                            0xAB,
                            0xCD};
  p.resize(total);
  std::copy(payload.begin(), payload.end(), p.begin() + 28);
  const uint16_t csum = OnesComplementSum(p.data(), 20);
  p[10] = uint8_t(csum >> 8);
  p[11] = uint8_t(csum);
  return p;
}

inline std::vector<uint8_t> Ack(uint16_t block) {
  return {0x00, 0x04, uint8_t(block >> 8), uint8_t(block)};
}

// Requests as the device sends them.
inline const std::vector<uint8_t> kConfReq = {0, 0, 2, 0, 0, 6};
inline const std::vector<uint8_t> kCloseReq = {0, 0, 4, 0, 0, 6};
inline const std::vector<uint8_t> kUlReq = {0, 0, 0x10, 0, 0, 6};

/// A TFTP-UL-REQ with a FILE-NAME option of `name`.
inline std::vector<uint8_t> UlReq(const std::string& name) {
  const size_t len = 6 + 4 + name.size();
  std::vector<uint8_t> b = {0, 0, 0x10, 0, uint8_t(len >> 8), uint8_t(len), 0x01, 0x81,
                            uint8_t((name.size() + 4) >> 8), uint8_t(name.size() + 4)};
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

/// Hands bytes over in an exact-size heap block, as the server thread's
/// owned copy: a read past the end is caught.
inline void Skav(CClientThread& c, const std::vector<uint8_t>& msg) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[msg.size()]);
  std::memcpy(copy.get(), msg.data(), msg.size());
  c.SKAVDRxMsg(copy.get(), msg.size());
}

inline void Ip(CClientThread& c, const std::vector<uint8_t>& pkt) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[pkt.size()]);
  std::memcpy(copy.get(), pkt.data(), pkt.size());
  c.TFTPRxDatagram(copy.get(), pkt.size());
}

/// Host-order value of a network-order port.
inline uint16_t HostPort(uint16_t portNet) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&portNet);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

/// Network-order value of a host-order port.
inline uint16_t NetPort(uint16_t port) {
  uint16_t v;
  const uint8_t b[2] = {uint8_t(port >> 8), uint8_t(port)};
  std::memcpy(&v, b, 2);
  return v;
}

/// An ACK from the device's TFTP port to the client's reserved port.
inline void DeviceAck(CClientThread& c, uint16_t block, uint16_t srcPort = 40000) {
  Ip(c, DevicePacket(srcPort, HostPort(c.localPort), Ack(block)));
}

}  // namespace harness
