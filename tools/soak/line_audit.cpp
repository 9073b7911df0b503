// The soak's Debug Window: follows each client through its lines and
// records what breaks the window's rules (see line_audit.h).
#include "soak/line_audit.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace soak {

namespace {

constexpr size_t kMacTextLen = 17;
constexpr int64_t kCycleMs = 500;
constexpr size_t kKeptViolations = 40;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWith(const std::string& s, size_t at, const char* prefix) {
  return s.compare(at, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bool ParseMacText(const char* t, MacKey* key) {
  MacKey k = 0;
  for (int i = 0; i < 6; ++i) {
    const int hi = HexDigit(t[i * 3]);
    const int lo = HexDigit(t[i * 3 + 1]);
    if (hi < 0 || lo < 0) return false;
    if (i < 5 && t[i * 3 + 2] != '-') return false;
    k = k << 8 | static_cast<MacKey>(hi << 4 | lo);
  }
  *key = k;
  return true;
}

std::string MacUpper(MacKey key) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X",
                static_cast<unsigned>(key >> 40 & 255), static_cast<unsigned>(key >> 32 & 255),
                static_cast<unsigned>(key >> 24 & 255), static_cast<unsigned>(key >> 16 & 255),
                static_cast<unsigned>(key >> 8 & 255), static_cast<unsigned>(key & 255));
  return text;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void LineAudit::Violation(const std::string& what) {
  ++violationCount_;
  if (violations_.size() < kKeptViolations)
    violations_.push_back("run " + std::to_string(run_) + ": " + what);
}

ClientLife* LineAudit::Current(MacKey mac) {
  auto& clients = runs_[run_];
  auto it = clients.find(mac);
  if (it == clients.end() || it->second.empty()) return nullptr;
  return &it->second.back();
}

void LineAudit::Append(const char* text, size_t len) {
  const std::string s(text, len);
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(mu_);
  ++lines_;
  if (stopped_) {
    Violation("written while the server is stopped: " + s.substr(0, 80));
    return;
  }
  if (len < 2 || s.compare(len - 2, 2, "\r\n") != 0)
    Violation("a text that is not whole lines: " + s.substr(0, 80));
  std::vector<int>& counts = watched_[run_];
  counts.resize(phrases_.size());
  for (size_t i = 0; i < phrases_.size(); ++i)
    if (s.find(phrases_[i]) != std::string::npos) ++counts[i];

  if (StartsWith(s, 0, "[Error] ")) {
    ++errors_[s.substr(0, s.find('\r'))];
    return;
  }
  MacKey mac = 0;
  if (StartsWith(s, 0, "New client: ") && len >= 12 + kMacTextLen &&
      ParseMacText(s.c_str() + 12, &mac)) {
    auto& lives = runs_[run_][mac];
    if (!lives.empty()) {
      const ClientLife& before = lives.back();
      const std::string m = MacUpper(mac);
      if (before.exitMs < 0) {
        Violation("second client for " + m + " while its first one runs");
      } else if (!before.fwDone && !before.falseCreation) {
        Violation("second client for " + m + " whose first one ended in Error");
      } else {
        bool cleared = false;
        for (int64_t at : clears_) cleared = cleared || at >= before.exitMs - 2 * kCycleMs;
        if (!cleared) Violation("second client for " + m + " without a Clear after its exit");
      }
    }
    ClientLife life;
    life.createdMs = now;
    lives.push_back(life);
    return;
  }
  if (s.size() < 2 + kMacTextLen + 1 || s[0] != '[' || s[1 + kMacTextLen] != ']' ||
      !ParseMacText(s.c_str() + 1, &mac))
    return;  // the run's own lines ("SKAV Server starts running...")
  const size_t body = 2 + kMacTextLen + 1;  // "[mac] "
  ClientLife* life = Current(mac);
  const std::string m = MacUpper(mac);
  if (!life) {
    Violation("a line of " + m + ", which has no client: " + s.substr(0, 90));
    return;
  }
  // The stop names each device it cuts off from the stopping thread, the
  // one line of a client that is not the client's own.
  if (s.compare(body, std::string::npos, "interrupted by the stop, outcome: Error\r\n") == 0)
    return;
  if (life->tid == 0) {
    life->tid = tid;
  } else if (life->tid != tid) {
    Violation("lines of one client of " + m + " from two threads");
  }
  if (StartsWith(s, body, "exits. ")) {
    if (life->exitMs >= 0) Violation("a second exit report of " + m);
    life->exitMs = now;
    life->exitText = s.substr(body + 7, s.find('\r') - body - 7);
    life->fwDone = life->exitText.find("FW Upgrade: Done") != std::string::npos;
    return;
  }
  if (StartsWith(s, body, "TX ") && life->exitMs >= 0)
    Violation("a Closed client of " + m + " sent: " + s.substr(body, 60));
  if (StartsWith(s, body, "false creation")) life->falseCreation = true;
  if (s.find("start TFTP uploading", body) != std::string::npos) ++life->transfers;
  if (StartsWith(s, body, "TFTP uploading done") && ++life->uploadsDone > life->transfers)
    Violation(m + ": an upload done before it started: " + s.substr(body, 60));
}

void LineAudit::BeginRun(int run) {
  std::lock_guard<std::mutex> lock(mu_);
  run_ = run;
  stopped_ = false;
  clears_.clear();
}

void LineAudit::EndRun() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = true;
}

void LineAudit::MarkClear() {
  std::lock_guard<std::mutex> lock(mu_);
  clears_.push_back(NowMs());
}

std::map<MacKey, std::vector<ClientLife>> LineAudit::Clients(int run) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = runs_.find(run);
  return it == runs_.end() ? std::map<MacKey, std::vector<ClientLife>>{} : it->second;
}

int LineAudit::Watch(const std::string& phrase) {
  std::lock_guard<std::mutex> lock(mu_);
  phrases_.push_back(phrase);
  return static_cast<int>(phrases_.size()) - 1;
}

int LineAudit::Watched(int run, int index) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = watched_.find(run);
  if (it == watched_.end() || index >= static_cast<int>(it->second.size())) return 0;
  return it->second[index];
}

std::vector<std::string> LineAudit::Violations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return violations_;
}

int LineAudit::ViolationCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return violationCount_;
}

std::map<std::string, int> LineAudit::ErrorLines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

long LineAudit::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

}  // namespace soak
