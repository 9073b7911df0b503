// The outcome writer thread: see outcome_writer.h.
#include "report/outcome_writer.h"

#include <chrono>
#include <system_error>

#include "report/device_record_file.h"
#include "report/log_file.h"

namespace {

// Lines that could not be written are tried again this often.
constexpr auto kRetry = std::chrono::seconds(1);

void TakeHeld(HeldLines& held, const std::string& where, std::string* out) {
  for (std::string& line : held.lines) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    *out += "  for " + where + ": " + line + "\n";
  }
  held.lines.clear();
  held.frontWritten = 0;
}

}  // namespace

bool OutcomeWriter::Start(const LogSlot* slot) {
  slot_ = slot;
  quit_ = false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void OutcomeWriter::Wake() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++handed_;
  }
  cv_.notify_all();
}

bool OutcomeWriter::WriteRound() {
  LogSink* debug = LogControl(slot_);
  const bool logClear = LogFileWriteHeld(log_, debug);
  const bool recordClear = RecordFileWriteHeld(record_, debug);
  return logClear && recordClear;
}

void OutcomeWriter::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!quit_) {
    const auto handedOver = [this] { return handed_ != served_ || quit_; };
    // Held lines are tried again; with none, only a hand-over wakes it.
    if (clear_) {
      cv_.wait(lock, handedOver);
    } else {
      cv_.wait_for(lock, kRetry, handedOver);
    }
    if (quit_) break;
    const unsigned serving = handed_;
    lock.unlock();
    const bool clear = WriteRound();
    lock.lock();
    served_ = serving;
    clear_ = clear;
    cv_.notify_all();
  }
}

void OutcomeWriter::Finish(int ms) {
  if (!thread_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mu_);
    // A round that began after everything was handed over, then more
    // while the files do not take the lines, for at most `ms`.
    const unsigned wanted = ++handed_;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::milliseconds(ms),
                 [&] { return served_ == wanted && clear_; });
    quit_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

std::string TakeUnwritten(LogFile& log, RecordFile& record) {
  std::lock_guard<std::mutex> lock(gLogLock);
  std::string out;
  TakeHeld(log.held, "the log file" + (log.path.empty() ? "" : " '" + log.path + "'"), &out);
  TakeHeld(record.held, "the record '" + record.path + "'", &out);
  return out;
}
