// The in-process server of the benchmarks and its observers: see
// bench_server.h.
#include "bench_server.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "console/descriptor_limit.h"
#include "link/if_list.h"
#include "protocol/client_table.h"
#include "transfer/upload_images.h"

namespace bench {

namespace {

constexpr size_t kKeptErrors = 20;
constexpr int kBlockSlots = 65536;
constexpr int kIpStart = kEthHeaderLen;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::now().time_since_epoch())
      .count();
}

uint16_t Be16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// The TFTP opcode and block of an Ethernet frame carrying IPv4/UDP; false
// for anything else. Reads only within `len`.
bool TftpHeader(const uint8_t* f, uint32_t len, uint16_t* opcode, uint16_t* block) {
  if (len < static_cast<uint32_t>(kIpStart + 20) || Be16(f + 12) != kEtherTypeIpv4)
    return false;
  const uint8_t* ip = f + kIpStart;
  if ((ip[0] >> 4) != 4 || ip[9] != 17) return false;
  const uint32_t ihl = (ip[0] & 0x0f) * 4u;
  if (len < kIpStart + ihl + 8 + 4) return false;
  const uint8_t* tftp = ip + ihl + 8;
  *opcode = Be16(tftp);
  *block = Be16(tftp + 2);
  return true;
}

}  // namespace

void CpuSpan::Start() {
  // Only the first call reads the clock: with a thousand threads each read
  // walks all of them, in the time being measured.
  std::lock_guard<std::mutex> lock(mu_);
  if (start_ < 0) start_ = ProcessCpuSeconds();
}

void CpuSpan::Stop() {
  const double now = ProcessCpuSeconds();
  std::lock_guard<std::mutex> lock(mu_);
  stop_ = now;
}

double CpuSpan::seconds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return start_ >= 0 && stop_ >= start_ ? stop_ - start_ : 0;
}

int TimedLog::Watch(std::string phrase, std::function<void()> onFirst, bool everyTime) {
  std::lock_guard<std::mutex> lock(mu_);
  phrases_.push_back(std::move(phrase));
  onFirst_.push_back(std::move(onFirst));
  everyTime_.push_back(everyTime);
  seen_.emplace_back();
  return static_cast<int>(phrases_.size()) - 1;
}

void TimedLog::Append(const char* text, size_t len) {
  const Clock::time_point now = Clock::now();
  const std::string_view line(text, len);
  std::vector<const std::function<void()>*> actions;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < phrases_.size(); ++i) {
      if (line.find(phrases_[i]) == std::string_view::npos) continue;
      Seen& s = seen_[i];
      if (s.count++ == 0) s.first = now;
      if (onFirst_[i] && (s.count == 1 || everyTime_[i])) actions.push_back(&onFirst_[i]);
      s.last = now;
    }
    if (errors_.size() < kKeptErrors && line.find("[Error]") != std::string_view::npos)
      errors_.emplace_back(line);
  }
  // The actions never change once the run has started.
  for (const std::function<void()>* a : actions) (*a)();
}

TimedLog::Seen TimedLog::Get(int index) const {
  std::lock_guard<std::mutex> lock(mu_);
  return seen_[static_cast<size_t>(index)];
}

std::vector<std::string> TimedLog::Errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

void TimedLog::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  for (Seen& s : seen_) s = Seen{};
  errors_.clear();
}

TimingPort::TimingPort(std::unique_ptr<L2_Port> inner, bool trackBlocks)
    : inner_(std::move(inner)), trackBlocks_(trackBlocks) {
  if (trackBlocks_) {
    dataTxNs_.assign(kBlockSlots, 0);
    ackRxNs_.assign(kBlockSlots, 0);
    dataSends_.assign(kBlockSlots, 0);
  }
  advGaps_.reserve(4096);
}

int TimingPort::Send(const uint8_t* frame, int len) {
  const int64_t now = NowNs();
  const uint32_t n = static_cast<uint32_t>(len);
  // ADVERTISE: broadcast, SKAV, code 1. Only the server thread sends it.
  if (n >= 20 && frame[0] == 0xff && frame[1] == 0xff &&
      Be16(frame + 12) == kEtherTypeSkav && frame[16] == 1) {
    if (lastAdvertiseNs_ >= 0) advGaps_.push_back((now - lastAdvertiseNs_) / 1e6);
    lastAdvertiseNs_ = now;
  } else if (trackBlocks_) {
    uint16_t opcode, block;
    if (TftpHeader(frame, n, &opcode, &block) && opcode == 3) {
      if (dataSends_[block] < 255) ++dataSends_[block];
      dataTxNs_[block] = now;
    }
  }
  return inner_->Send(frame, len);
}

struct TimingDelivery {
  L2_Port::FrameCallback callback;
  void* user;
  bool trackBlocks;
  std::vector<int64_t>* ackRxNs;
};

void TimingPort::OnFrame(void* user, const uint8_t* bytes, uint32_t caplen) {
  auto* d = static_cast<TimingDelivery*>(user);
  if (d->trackBlocks) {
    uint16_t opcode, block;
    if (TftpHeader(bytes, caplen, &opcode, &block) && opcode == 4)
      (*d->ackRxNs)[block] = NowNs();
  }
  d->callback(d->user, bytes, caplen);
}

int TimingPort::Dispatch(int count, FrameCallback callback, void* user) {
  TimingDelivery d{callback, user, trackBlocks_, &ackRxNs_};
  return inner_->Dispatch(count, &TimingPort::OnFrame, &d);
}

void TimingPort::Turnarounds(std::vector<double>* serverUs,
                             std::vector<double>* deviceUs, int* resent) const {
  serverUs->clear();
  deviceUs->clear();
  *resent = 0;
  if (!trackBlocks_) return;
  for (int b = 0; b + 1 < kBlockSlots; ++b) {
    if (dataSends_[b] > 1) ++*resent;
    // ACK b (block 0: the WRQ's) captured, DATA b+1 sent once.
    if (ackRxNs_[b] != 0 && dataSends_[b + 1] == 1 && dataTxNs_[b + 1] > ackRxNs_[b])
      serverUs->push_back((dataTxNs_[b + 1] - ackRxNs_[b]) / 1e3);
    if (b > 0 && dataSends_[b] == 1 && ackRxNs_[b] > dataTxNs_[b])
      deviceUs->push_back((ackRxNs_[b] - dataTxNs_[b]) / 1e3);
  }
}

bool PrepareDeviceBench(const char* program) {
  InstallStopHandlers();
  const std::string why = NetnsUnavailable();
  if (!why.empty() || !DevsimPath()) {
    std::fprintf(stderr, "%s: %s\n", program,
                 why.empty() ? "built without skav-devsim" : why.c_str());
    return false;
  }
  RaiseDescriptorLimit();
  return true;
}

void PrintStartConditions() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  std::printf("load average at start: %s; %ld CPUs online; descriptor limit %llu\n",
              LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              static_cast<unsigned long long>(files.rlim_cur));
}

ImagePaths WriteCrowdImages(const TempDir& dir, int firmwareKiB, int tableKiB,
                            std::vector<std::string>* expectArgs) {
  ImagePaths images;
  images.path[0] = dir.Write("firmware", Pattern(static_cast<size_t>(firmwareKiB) << 10, 1));
  images.path[1] = dir.Write("st1", Pattern(static_cast<size_t>(tableKiB) << 10, 2));
  images.path[2] = dir.Write("st2", Pattern(static_cast<size_t>(tableKiB) << 10, 3));
  *expectArgs = {"--expect", "firmware=" + images.path[0], "--expect", "st1=" + images.path[1],
                 "--expect", "st2=" + images.path[2]};
  return images;
}

BenchServer::BenchServer(const std::string& ns, const std::string& ifName,
                         const ImagePaths& images, int region, TimedLog* log,
                         bool trackBlocks, const std::string& filesDir) {
  InNetns in(ns);
  if (!in.ok()) {
    why_ = "cannot enter namespace " + ns;
    return;
  }
  char error[256] = "";
  link_ = L2_Open(ifName.c_str(), ifName.c_str(), error);
  if (!link_) {
    why_ = std::string("L2_Open: ") + error;
    return;
  }
  auto timing = std::make_unique<TimingPort>(std::move(link_->port), trackBlocks);
  timing_ = timing.get();
  link_->port = std::move(timing);
  // Inside the bench's own namespace only: L2_SetIfAddr first removes the
  // server addresses it finds in the calling thread's namespace.
  if (L2_SetIfAddr(ifName.c_str(), "10.0.0.1", "255.0.0.0") != 0) {
    why_ = std::string("L2_SetIfAddr: ") + L2_LastIfAddrError();
    return;
  }
  if (!images.path[0].empty() &&
      !LoadFileToMemory(images.path[0].c_str(), &ctx_.images.buf[0],
                        &ctx_.images.len[0])) {
    why_ = "cannot load the firmware";
    return;
  }
  std::string tables[6];
  for (int k = 1; k <= 6; ++k) tables[k - 1] = images.path[k];
  if (LoadStringTables(tables, ctx_.images) != 0) {
    why_ = "cannot load the string tables";
    return;
  }
  slot_.store(log);
  ctx_.link = link_;
  ctx_.logSlot = &slot_;
  ctx_.regionCode = region;
  ctx_.statusCtl = &status_;
  ctx_.panel.Set(sortKey, kSortMacUp);
  SKAVDResetPoolForTest();
  if (!filesDir.empty()) {
    OpenLogFile(ctx_.logFile, filesDir + "/outcomes.log");
    OpenRecordFile(ctx_.recordFile, filesDir + "/devices.jsonl");
    writer_.SetSlot(&slot_);
    writer_.Start();
  }
  ctx_.running = 1;
  thread_ = std::thread([this] { SKAVDServerThread(&ctx_); });
  started_ = true;
}

void BenchServer::Stop() {
  if (!thread_.joinable()) return;
  ctx_.running = 0;
  L2_BreakLoop(ctx_.link);
  thread_.join();
  writer_.Drain(3000);
  writer_.End(1000);
  CloseLogFile(ctx_.logFile);
  CloseRecordFile(ctx_.recordFile);
}

BenchServer::~BenchServer() {
  Stop();
  FreeUploadImages(ctx_.images);
  L2_Close(link_);
}

void SimPause::Pause() {
  const pid_t pid = pid_;
  if (pid <= 0 || paused_.exchange(true)) return;
  pausedAtMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                    Clock::now().time_since_epoch())
                    .count();
  kill(pid, SIGSTOP);
}

void SimPause::Resume() {
  const pid_t pid = pid_;
  if (pid > 0 && paused_.exchange(false)) kill(pid, SIGCONT);
}

void SimPause::ResumeIfPausedFor(std::chrono::seconds limit) {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Clock::now().time_since_epoch())
                          .count();
  if (paused_ && now - pausedAtMs_ > limit.count() * 1000) Resume();
}

std::string InterfaceMacText(const std::string& ns, const std::string& ifName) {
  InNetns in(ns);
  if (!in.ok()) return "";
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  ifreq req{};
  std::strncpy(req.ifr_name, ifName.c_str(), IFNAMSIZ - 1);
  const bool ok = ioctl(fd, SIOCGIFHWADDR, &req) == 0;
  close(fd);
  if (!ok) return "";
  const auto* m = reinterpret_cast<const uint8_t*>(req.ifr_hwaddr.sa_data);
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1],
                m[2], m[3], m[4], m[5]);
  return text;
}

}  // namespace bench
