// Opening, reading and writing the simulator's capture handle.
#include "devsim/capture.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace {

struct DispatchCall {
  Capture::Handler handler;
  void* user;
};

void OnPcapFrame(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* call = reinterpret_cast<DispatchCall*>(user);
  call->handler(call->user, bytes, h->caplen);
}

}  // namespace

Capture::~Capture() {
  if (pcap_) pcap_close(pcap_);
}

bool Capture::Open(const std::string& ifName, bool ipv4, std::string& error) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_ = pcap_create(ifName.c_str(), errbuf);
  if (!pcap_) {
    error = errbuf;
    return false;
  }
  pcap_set_snaplen(pcap_, 1600);
  pcap_set_promisc(pcap_, 1);
  pcap_set_timeout(pcap_, 10);
  pcap_set_immediate_mode(pcap_, 1);
  // Hundreds of devices answer a burst of frames at once.
  pcap_set_buffer_size(pcap_, 16 * 1024 * 1024);
  int rc = pcap_activate(pcap_);
  if (rc < 0) {
    error = std::string("pcap_activate: ") + pcap_geterr(pcap_);
    if (rc == PCAP_ERROR_PERM_DENIED)
      error += " (needs CAP_NET_RAW: run as root inside the namespace)";
    return false;
  }
  // Our own frames would otherwise come back to us.
  if (pcap_setdirection(pcap_, PCAP_D_IN) != 0) {
    error = std::string("pcap_setdirection: ") + pcap_geterr(pcap_);
    return false;
  }
  bpf_program program;
  if (pcap_compile(pcap_, &program, ipv4 ? "ether proto 0x0912 or ip" : "ether proto 0x0912",
                   1, PCAP_NETMASK_UNKNOWN) != 0 ||
      pcap_setfilter(pcap_, &program) != 0) {
    error = std::string("capture filter: ") + pcap_geterr(pcap_);
    return false;
  }
  pcap_freecode(&program);
  if (pcap_setnonblock(pcap_, 1, errbuf) != 0) {
    error = errbuf;
    return false;
  }
  fd_ = pcap_get_selectable_fd(pcap_);
  if (fd_ < 0) {
    error = "the capture has no selectable descriptor";
    return false;
  }
  return true;
}

int Capture::Send(const uint8_t* frame, int len) {
  if (pcap_sendpacket(pcap_, frame, len) == 0) return 0;
  ++sendFailures_;
  return -1;
}

bool Capture::Wait(int ms) {
  pollfd p{fd_, POLLIN, 0};
  int rc = poll(&p, 1, ms < 0 ? 0 : ms);
  return rc > 0 && (p.revents & (POLLIN | POLLERR)) != 0;
}

int Capture::Dispatch(Handler handler, void* user) {
  DispatchCall call{handler, user};
  int total = 0;
  // Drain what is there (a non-blocking dispatch returns 0 once empty),
  // but return now and then so that the devices' timers keep running
  // under a steady stream.
  for (int round = 0; round < 16; ++round) {
    int n = pcap_dispatch(pcap_, 256, OnPcapFrame,
                          reinterpret_cast<u_char*>(&call));
    if (n < 0) return -1;
    total += n;
    if (n == 0) break;
  }
  return total;
}
