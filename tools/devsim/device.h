// One simulated device: the SKAV requests it makes, the TFTP server it plays
// for the pushes, its faults on demand and its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devsim/capture.h"
#include "devsim/image_check.h"
#include "devsim/options.h"

struct SKAV_Msg;
struct UdpView;

/// What every device of a run shares.
struct SimContext {
  const DevsimOptions* options = nullptr;
  FrameSender* tx = nullptr;
};

/// Where a device stands. Kernel TFTP mode uses kWaitFile in place of
/// kRequesting and kReceiving.
enum class Phase {
  kWaitAdvertise,
  kWaitConfAck,
  kWaitKeepAliveAck,
  kRequesting,  ///< TFTP-UL-REQ sent, WRQ awaited
  kReceiving,   ///< WRQ answered, DATA blocks arriving
  kWaitFile,    ///< kernel mode: the file is being written by tftpd
  kWaitCloseAck,
  kSilent,
  kFinished,
};

const char* PhaseName(Phase phase);

/// How one image went.
struct ImageResult {
  bool requested = false;
  bool complete = false;   ///< the last block arrived (or the file is whole)
  bool aborted = false;    ///< given up on purpose (--tftp-error)
  bool unacked = false;    ///< final ACK left out on purpose
  uint64_t bytes = 0;
  uint64_t hash = 0;
  int64_t startMs = 0;     ///< TFTP-UL-REQ sent
  int64_t endMs = 0;       ///< last block (or file complete)
  std::string verdict;     ///< empty when it matched what was expected
};

class SimDevice {
 public:
  SimDevice(const SimContext& ctx, int index, const uint8_t mac[6]);

  /// A SKAV frame (whole Ethernet frame) seen on the wire.
  void OnSkav(const uint8_t* frame, size_t len, int64_t now);
  /// An IPv4 frame addressed to this device's MAC.
  void OnIpv4(const uint8_t* frame, size_t len, int64_t now);
  /// Runs the device's timer when it is due.
  void OnTick(int64_t now);
  /// The run's time is up: an unfinished device fails.
  void Abandon(int64_t now);

  int64_t Due() const { return due_; }
  bool Finished() const { return phase_ == Phase::kFinished; }
  /// Went as planned: finished with nothing against its expectations.
  bool Ok() const { return Finished() && failure_.empty(); }
  /// Went as planned, and the plan was to fail: an image given up on
  /// purpose (--tftp-error, a silence during a transfer).
  bool FailedAsPlanned() const;
  const uint8_t* Mac() const { return mac_; }
  uint32_t Ip() const { return ip_; }
  uint64_t BytesReceived() const;
  int64_t FirstAdvertiseMs() const { return firstSeenAt_; }
  int64_t FinishedMs() const { return finishedAt_; }

  /// The one-line report: MAC, result, address, offer, images, timings.
  std::string ReportLine() const;

 private:
  /// A device repeats an unanswered request after this long, up to
  /// kMaxSends sends in all.
  static constexpr int64_t kRetryMs = 1000;
  static constexpr int kMaxSends = 6;

  // SKAV side (device.cpp, device_flow.cpp).
  void OnAdvertise(const uint8_t serverMac[6], int64_t now);
  void OnConfAck(const SKAV_Msg& msg, int64_t now);
  void OnKeepAliveAck(const SKAV_Msg& msg, int64_t now);
  void OnCloseAck(int64_t now);
  void SendConfReq();
  void SendKeepAlive();
  void SendUlReq();
  void SendClose(int64_t now);
  void StartNextImage(int64_t now);
  void EnterSilence(int64_t now);
  void Finish(int64_t now, const std::string& failure);
  void Log(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  // TFTP side (device_tftp.cpp).
  void OnWrq(const UdpView& udp, int64_t now);
  void OnData(const UdpView& udp, int64_t now);
  void OnStrayPortReply(const UdpView& udp);
  void SendAck(uint16_t srcPort, uint16_t dstPort, uint16_t block);
  void SendTftpError(uint16_t code, const std::string& text);
  void EndImage(int64_t now);
  void CheckTransferStall(int64_t now);

  // Kernel TFTP side (device_kernel.cpp).
  void BeginFileWait(int64_t now);
  void PollFile(int64_t now);

  const SimContext& ctx_;
  const DevsimOptions& opt_;
  int index_;
  uint8_t mac_[6];
  uint8_t serverMac_[6] = {};
  bool haveServer_ = false;
  Phase phase_ = Phase::kWaitAdvertise;
  int64_t due_ = INT64_MAX;
  int sends_ = 0;  ///< sends of the request now awaiting its answer

  // What the CONF-ACK gave.
  uint32_t ip_ = 0;  ///< host order
  uint32_t mask_ = 0;
  int region_ = 0;
  bool fwOffered_ = false;
  uint32_t stOffered_ = 0;
  uint8_t keepAliveId_[4] = {};

  // The images asked for, in order, and the one in progress.
  std::vector<int> plan_;
  size_t next_ = 0;
  int current_ = -1;
  ImageResult images_[kSimImageCount];
  bool firstRequest_ = true;

  // The transfer in progress (TFTP server role).
  ImageCheck check_;
  uint16_t serverPort_ = 0;  ///< the server's UDP port, from its WRQ
  uint16_t tftpPort_ = 0;    ///< our port for this transfer
  uint16_t lastBlock_ = 0;   ///< last DATA block taken
  int64_t lastActivity_ = 0;
  uint16_t ipId_;
  uint32_t transfers_ = 0;
  // The transfer before, to acknowledge a repeated final block.
  uint16_t prevServerPort_ = 0, prevTftpPort_ = 0, prevLastBlock_ = 0;
  bool prevFinalAcked_ = false;

  // Kernel TFTP mode.
  int64_t fileSize_ = -1;
  int64_t fileChangedAt_ = 0;

  // Counters for the report.
  int wrqSeen_ = 0;
  int dataSeen_ = 0;
  int dupData_ = 0;
  uint64_t acksSent_ = 0;
  int acksDropped_ = 0;
  int strayAcksSent_ = 0;
  int strayErrorsSeen_ = 0;
  std::vector<uint16_t> strayPorts_;
  int badFrames_ = 0;
  std::string badFrameWhy_;

  // Timings.
  int64_t firstSeenAt_ = -1;  ///< first ADVERTISE
  int64_t confSentAt_ = 0, confAckAt_ = -1;
  int64_t kaSentAt_ = 0, kaAckAt_ = -1;
  int64_t closeSentAt_ = 0, closeAckAt_ = -1;
  int64_t finishedAt_ = 0;
  std::string failure_;
  std::string note_;
};
