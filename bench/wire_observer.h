// A quiet observer on the server's veth end: captures the TFTP frames of
// one transfer with the kernel's timestamps, so that the time of each block
// splits into the pusher's own turnaround and the device's, measured the
// same way for our server and for the tftp-hpa client.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class WireObserver {
 public:
  /// Captures UDP frames on `ifName` of namespace `ns`: headers only,
  /// handed over in batches (no immediate mode), so the observer adds a
  /// copy per frame in the kernel and a wake-up now and then, not one per
  /// frame.
  WireObserver(const std::string& ns, const std::string& ifName);
  ~WireObserver();
  WireObserver(const WireObserver&) = delete;
  WireObserver& operator=(const WireObserver&) = delete;

  bool ok() const { return pcap_ != nullptr; }
  const std::string& why() const { return why_; }

  /// Per block n, in microseconds: the pusher's turnaround from the ACK of
  /// n on the wire to DATA n+1 on the wire, and the device's from DATA n
  /// to its ACK. Blocks sent more than once are left out.
  struct Legs {
    std::vector<double> pusherUs, deviceUs;
    unsigned dropped = 0;  ///< frames the kernel could not hand over
  };
  /// Ends the capture (after a pause that lets the last batch arrive).
  Legs Finish();

 private:
  static void OnFrame(u_char* user, const pcap_pkthdr* h, const u_char* bytes);
  void Loop();

  pcap_t* pcap_ = nullptr;
  std::string why_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  // By 16-bit block number; written by the observer thread only.
  std::vector<int64_t> dataNs_, ackNs_;
  std::vector<uint8_t> dataCount_;
};

}  // namespace bench
