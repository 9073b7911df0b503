// The outcome writer thread: see outcome_writer.h.
#include "report/outcome_writer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "report/device_record_file.h"
#include "report/log_file.h"

namespace {

// Lines that could not be written are tried again this often.
constexpr auto kRetry = std::chrono::seconds(1);
// What a round in progress gets when the writer ends.
constexpr int kEndMs = 1000;

void CopyHeld(const HeldLines& held, const std::string& where, std::string* out) {
  for (const std::string& line : held.lines) {
    // The rework banner begins with an empty line; the copy does not.
    const size_t from = line.find_first_not_of("\r\n");
    const size_t to = line.find_last_not_of("\r\n");
    if (from == std::string::npos) continue;
    *out += "  for " + where + ": " + line.substr(from, to + 1 - from) + "\n";
  }
}

}  // namespace

struct OutcomeWriter::State {
  std::mutex mu;
  std::condition_variable cv;
  unsigned handed = 0;   // hand-overs so far
  unsigned served = 0;   // the hand-overs the last round took
  bool clear = true;     // nothing held after the last round
  bool quit = false;
  bool running = true;   // the thread is in its loop
  // Set under mu and gLogLock when the thread is given up.
  std::atomic<bool> givenUp{false};
  std::atomic<const LogSlot*> slot{nullptr};
};

// The thread owns a share of its state; the files it reaches only under
// gLogLock while it has not been given up.
void OutcomeWriter::Run(const std::shared_ptr<State>& s, LogFile* log, RecordFile* record) {
  std::unique_lock<std::mutex> lock(s->mu);
  while (!s->quit) {
    const auto handedOver = [&] { return s->handed != s->served || s->quit; };
    // Held lines are tried again; with none, only a hand-over wakes it.
    if (s->clear) {
      s->cv.wait(lock, handedOver);
    } else {
      s->cv.wait_for(lock, kRetry, handedOver);
    }
    if (s->quit) break;
    const unsigned serving = s->handed;
    lock.unlock();
    std::string sayLog, sayRecord;
    const bool logClear = LineFileRound(*log, &s->givenUp, &sayLog);
    const bool recordClear = LineFileRound(*record, &s->givenUp, &sayRecord);
    lock.lock();
    if (s->givenUp.load()) break;
    // Said under the lock that giving up takes, so that nothing is said
    // once the front end (and its Debug Window) may have gone.
    LogSink* sink = LogControl(s->slot.load());
    if (!sayLog.empty()) DebugPrint(sink, "%s", sayLog.c_str());
    if (!sayRecord.empty()) DebugPrint(sink, "%s", sayRecord.c_str());
    s->served = serving;
    s->clear = logClear && recordClear;
    s->cv.notify_all();
  }
  s->running = false;
  s->cv.notify_all();
}

OutcomeWriter::~OutcomeWriter() { End(kEndMs); }

bool OutcomeWriter::Start() {
  if (thread_.joinable()) return true;
  auto state = std::make_shared<State>();
  if (state_) state->slot.store(state_->slot.load());
  try {
    thread_ = std::thread([state, log = &log_, record = &record_] { Run(state, log, record); });
  } catch (const std::system_error&) {
    return false;
  }
  state_ = std::move(state);
  std::lock_guard<std::mutex> lock(gLogLock);
  log_.writer = this;
  record_.writer = this;
  return true;
}

void OutcomeWriter::SetSlot(const LogSlot* slot) {
  if (!state_) state_ = std::make_shared<State>();
  state_->slot.store(slot);
}

void OutcomeWriter::Wake() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    ++state_->handed;
  }
  state_->cv.notify_all();
}

bool OutcomeWriter::Drain(int ms) {
  if (!thread_.joinable()) return true;
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mu);
  // A round that began after everything was handed over, then more while
  // the files do not take the lines, for at most `ms`.
  const unsigned wanted = ++s.handed;
  s.cv.notify_all();
  return s.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return static_cast<int>(s.served - wanted) >= 0 && s.clear;
  });
}

void OutcomeWriter::End(int ms) {
  if (!thread_.joinable()) return;
  State& s = *state_;
  bool left = false;
  {
    std::unique_lock<std::mutex> lock(s.mu);
    s.quit = true;
    s.cv.notify_all();
    left = s.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !s.running; });
    std::lock_guard<std::mutex> files(gLogLock);
    if (!left) {
      // Its round is not under way any more as far as the files go.
      s.givenUp.store(true);
      log_.writing = false;
      record_.writing = false;
    }
    log_.writer = nullptr;
    record_.writer = nullptr;
  }
  if (left) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

std::string CopyUnwritten(LogFile& log, RecordFile& record) {
  std::lock_guard<std::mutex> lock(gLogLock);
  std::string out;
  CopyHeld(log.held, "the log file" + (log.path.empty() ? "" : " '" + log.path + "'"), &out);
  CopyHeld(record.held, "the record" + (record.path.empty() ? "" : " '" + record.path + "'"),
           &out);
  return out;
}
