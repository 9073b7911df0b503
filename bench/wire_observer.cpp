// The TFTP frames of one transfer with kernel timestamps: see
// wire_observer.h.
#include "wire_observer.h"

#include <poll.h>

#include <chrono>

#include "bench_support.h"

namespace bench {

namespace {

constexpr int kSlots = 65536;
constexpr int kSnapLen = 96;              // Ethernet, IPv4, UDP, TFTP header
constexpr int kBufferBytes = 32 << 20;    // a whole transfer's headers
constexpr int kBatchTimeoutMs = 20;
constexpr uint32_t kServerIp = 0x0A000001;  // 10.0.0.1

uint16_t Be16(const u_char* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
uint32_t Be32(const u_char* at) {
  return static_cast<uint32_t>(Be16(at)) << 16 | Be16(at + 2);
}

}  // namespace

WireObserver::WireObserver(const std::string& ns, const std::string& ifName) {
  InNetns in(ns);
  if (!in.ok()) {
    why_ = "cannot enter " + ns;
    return;
  }
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = pcap_create(ifName.c_str(), error);
  if (!p) {
    why_ = error;
    return;
  }
  pcap_set_snaplen(p, kSnapLen);
  pcap_set_promisc(p, 0);
  pcap_set_timeout(p, kBatchTimeoutMs);
  pcap_set_buffer_size(p, kBufferBytes);
  pcap_set_tstamp_precision(p, PCAP_TSTAMP_PRECISION_NANO);
  bpf_program program;
  if (pcap_activate(p) < 0 ||
      pcap_compile(p, &program, "udp", 1, PCAP_NETMASK_UNKNOWN) < 0) {
    why_ = pcap_geterr(p);
    pcap_close(p);
    return;
  }
  const int filtered = pcap_setfilter(p, &program);
  pcap_freecode(&program);
  if (filtered < 0 || pcap_setnonblock(p, 1, error) < 0) {
    why_ = pcap_geterr(p);
    pcap_close(p);
    return;
  }
  pcap_ = p;
  dataNs_.assign(kSlots, 0);
  ackNs_.assign(kSlots, 0);
  dataCount_.assign(kSlots, 0);
  thread_ = std::thread([this] { Loop(); });
}

WireObserver::~WireObserver() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (pcap_) pcap_close(pcap_);
}

void WireObserver::OnFrame(u_char* user, const pcap_pkthdr* h, const u_char* f) {
  auto* self = reinterpret_cast<WireObserver*>(user);
  if (h->caplen < 14 + 20 + 8 + 4 || Be16(f + 12) != 0x0800) return;
  const u_char* ip = f + 14;
  const uint32_t ihl = (ip[0] & 0x0f) * 4u;
  if (ip[9] != 17 || h->caplen < 14 + ihl + 8 + 4) return;
  const u_char* tftp = ip + ihl + 8;
  const uint16_t opcode = Be16(tftp), block = Be16(tftp + 2);
  // With nanosecond precision the field holds nanoseconds.
  const int64_t ns = static_cast<int64_t>(h->ts.tv_sec) * 1000000000 + h->ts.tv_usec;
  if (opcode == 3 && Be32(ip + 12) == kServerIp) {
    self->dataNs_[block] = ns;
    if (self->dataCount_[block] < 255) ++self->dataCount_[block];
  } else if (opcode == 4 && Be32(ip + 16) == kServerIp && self->ackNs_[block] == 0) {
    self->ackNs_[block] = ns;
  }
}

void WireObserver::Loop() {
  const int fd = pcap_get_selectable_fd(pcap_);
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, kBatchTimeoutMs);
    pcap_dispatch(pcap_, -1, &WireObserver::OnFrame, reinterpret_cast<u_char*>(this));
  }
  pcap_dispatch(pcap_, -1, &WireObserver::OnFrame, reinterpret_cast<u_char*>(this));
}

WireObserver::Legs WireObserver::Finish() {
  Legs legs;
  if (!pcap_) return legs;
  // The kernel hands over a batch when it is full or its timeout has run.
  std::this_thread::sleep_for(std::chrono::milliseconds(5 * kBatchTimeoutMs));
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  pcap_stat stats{};
  if (pcap_stats(pcap_, &stats) == 0) legs.dropped = stats.ps_drop;
  for (int b = 0; b + 1 < kSlots; ++b) {
    if (ackNs_[b] != 0 && dataCount_[b + 1] == 1 && dataNs_[b + 1] > ackNs_[b])
      legs.pusherUs.push_back((dataNs_[b + 1] - ackNs_[b]) / 1e3);
    if (b > 0 && dataCount_[b] == 1 && ackNs_[b] > dataNs_[b])
      legs.deviceUs.push_back((ackNs_[b] - dataNs_[b]) / 1e3);
  }
  return legs;
}

}  // namespace bench
