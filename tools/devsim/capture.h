// The simulator's window on the wire: a promiscuous, immediate-mode capture
// that can also send whole frames.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>

/// Where a device hands its finished frames.
class FrameSender {
 public:
  virtual ~FrameSender() = default;
  /// Sends one whole Ethernet frame; 0 on success, -1 on failure.
  virtual int Send(const uint8_t* frame, int len) = 0;
};

/// A libpcap handle on one interface. Promiscuous, because the simulated
/// devices' MACs are not the interface's own; immediate, because every
/// lock-step TFTP block would otherwise wait for the buffer timeout;
/// non-blocking, waited on with poll().
class Capture : public FrameSender {
 public:
  Capture() = default;
  ~Capture() override;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  /// Opens `ifName`, capturing only received SKAV frames, and IPv4 ones
  /// with `ipv4`.
  bool Open(const std::string& ifName, bool ipv4, std::string& error);

  int Send(const uint8_t* frame, int len) override;

  /// Waits at most `ms` for frames; true when some can be read.
  bool Wait(int ms);

  using Handler = void (*)(void* user, const uint8_t* bytes, uint32_t len);
  /// Hands every waiting frame to `handler`; -1 on a capture error.
  int Dispatch(Handler handler, void* user);

  uint64_t SendFailures() const { return sendFailures_; }

 private:
  pcap_t* pcap_ = nullptr;
  int fd_ = -1;
  uint64_t sendFailures_ = 0;
};
