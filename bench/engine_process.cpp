// The headless server as a process, and a front end that meters what its
// bench socket carries.
#include "engine_process.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "netns/netns_pair.h"
#include "remote/engine_client.h"

namespace bench {

HeadlessProcess::HeadlessProcess(const std::string& ns, const std::string& program,
                                 const std::string& ifName, const ImagePaths& images,
                                 const TempDir& dir) {
  std::string settings = "[General]\nInterface Name=" + ifName + "\n";
  if (!images.path[0].empty()) settings += "Firmware Path=" + images.path[0] + "\n";
  for (int k = 1; k <= 6; ++k) {
    if (!images.path[k].empty())
      settings += "String Table " + std::to_string(k) + " Path=" + images.path[k] + "\n";
  }
  const std::string file = dir.path() + "/SKAVD.conf";
  std::ofstream(file) << settings;
  child_ = std::make_unique<Child>(ns, std::vector<std::string>{program, "--headless",
                                                                "--settings", file});
}

int HeadlessProcess::Count(const std::string& phrase) const {
  const std::string& out = child_->output();
  int n = 0;
  for (size_t at = out.find(phrase); at != std::string::npos; at = out.find(phrase, at + 1)) ++n;
  return n;
}

double HeadlessProcess::CpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(child_->pid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields 14 and 15 (utime, stime) after the command's closing parenthesis.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {

// Counts what comes, and nothing more.
class Counting : public remote::EngineEvents {
 public:
  void OnText(const remote::TextPiece&) override { ++texts; }
  void OnPanel(const remote::PanelNews&) override { ++panels; }
  void OnProgress(const remote::ProgressNews&) override { ++progress; }
  void OnMissed(const remote::Missed& m) override { missed = m; }
  uint64_t texts = 0, panels = 0, progress = 0;
  remote::Missed missed;
};

}  // namespace

FrontEndMeter::FrontEndMeter(const std::string& ns, const std::string& ifName)
    : thread_([this, ns, ifName] { Run(ns, ifName); }) {}

void FrontEndMeter::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool FrontEndMeter::Attached() {
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
  while (attached_ == 0 && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return attached_ == 1;
}

FrontEndMeter::Figures FrontEndMeter::figures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return figures_;
}

void FrontEndMeter::Run(const std::string& ns, const std::string& ifName) {
  // The socket's name carries the namespace of the server's interface.
  InNetns in(ns);
  std::unique_ptr<remote::EngineClient> client;
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
  while (!client && !stop_ && Clock::now() < limit) {
    std::string why;
    client = remote::EngineClient::AttachBench(ifName, &why);
    if (!client) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!client || !in.ok()) {
    attached_ = -1;
    return;
  }
  client->Want(remote::kWantAll);
  attached_ = 1;
  Counting counts;
  const Clock::time_point start = Clock::now();
  Clock::time_point second = start;
  uint64_t atSecond = 0;
  while (!stop_ && client->Pump(counts, 50)) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    if (now - second >= std::chrono::seconds(1)) {
      figures_.peakSecondBytes =
          std::max(figures_.peakSecondBytes, client->received() - atSecond);
      atSecond = client->received();
      second = now;
    }
    figures_.bytes = client->received();
    figures_.seconds = Ms(now - start) / 1000.0;
    figures_.texts = counts.texts;
    figures_.panels = counts.panels;
    figures_.progress = counts.progress;
    figures_.missedTexts = counts.missed.texts;
    figures_.panelResends = counts.missed.panelResends;
    figures_.progressResends = counts.missed.progressResends;
  }
}

}  // namespace bench
