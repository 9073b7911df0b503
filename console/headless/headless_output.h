// Where the headless server's text goes: standard output carries the Debug
// Window's bytes, standard error the messages; under systemd, the journal
// gets one record per line, without CR and with its priority.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "report/debug_print.h"

/// True when `fd` is the stream that `journalStream` (the value of
/// JOURNAL_STREAM, "DEVICE:INODE", may be nullptr) names: systemd connected
/// it to the journal.
bool IsJournalStream(int fd, const char* journalStream);

/// The journal's priority of one line (without its line end): 3 for an
/// error ("[Error]" lines, or every line when `error` is set), 4 for a
/// device's trouble or an outcome of Error (`note`, given by the code that
/// printed the line), 6 otherwise.
int JournalPriority(const char* line, size_t len, bool error, LineNote note);

/// The journal form of `len` bytes of text: each line without its CR,
/// behind "<N>" with its JournalPriority, ended by a line feed (also the
/// last one, so that no other writer's text joins it).
std::string JournalLines(const char* text, size_t len, bool error,
                         LineNote note = LineNote::kNone);

/// The fields of the journal's own entry for one line (without its line
/// end): MESSAGE (the line), PRIORITY (its JournalPriority) and
/// SYSLOG_IDENTIFIER; a device's line also has SKAV_MAC (its MAC in
/// capitals, "02-5A-00-00-00-01"), and a line that tells its outcome
/// SKAV_OUTCOME ("Done" or "Error").
std::vector<std::string> JournalEntry(const char* line, size_t len, bool error, LineNote note);

/// While on, lets each text through the first time and then at most once
/// a minute, saying how often it came meanwhile: a server that retries
/// every second while it waits must not fill the journal with one line.
class RepeatGate {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kInterval{60};

  /// Off lets everything through and forgets the counts.
  void SetOn(bool on);
  bool On() const { return on_.load(std::memory_order_relaxed); }
  /// What to write now for `text`: the text, the text with " (repeated N
  /// times)" before its line end, or nothing.
  std::string Pass(const std::string& text, Clock::time_point now);

 private:
  struct Seen {
    Clock::time_point shown;
    int held = 0;
  };
  std::mutex mu_;
  std::atomic<bool> on_{false};
  std::map<std::string, Seen> seen_;
};

/// The text that stands for `lines` lines a stalled reader never got.
std::string DroppedLinesText(unsigned long long lines);

/// One output stream of the headless server. Every client thread writes
/// to it: a reader that stalls (a busy journal, a terminal after Ctrl-S)
/// must not stall them. Texts wait in a bounded queue for a thread of the
/// stream's own that writes them; texts beyond the bound are dropped and
/// counted, and the count goes out as one line once the queue has room.
class HeadlessStream {
 public:
  /// How many bytes of text may wait for a stalled reader.
  static constexpr size_t kQueueBytes = 256 * 1024;
  /// How long the end of the program waits for a reader to take what is
  /// still queued.
  static constexpr std::chrono::seconds kDrainLimit{2};

  /// `journal`: write the journal form; otherwise the bytes as they are.
  /// `gate`, when given, decides which texts go out. `native` (with
  /// `journal`): send each line as an entry of its own with the fields of
  /// JournalEntry, falling back to the journal form on the stream when
  /// the journal does not take them.
  HeadlessStream(int fd, bool journal, RepeatGate* gate = nullptr, bool native = false);
  /// Gives the reader up to kDrainLimit to take what is queued.
  ~HeadlessStream();
  HeadlessStream(const HeadlessStream&) = delete;
  HeadlessStream& operator=(const HeadlessStream&) = delete;

  /// Queues the text, to go out in one write (lines of several threads
  /// never mix), never waiting for the reader; the writer goes on after
  /// interruptions and gives up quietly when the reader is gone: the
  /// server keeps running.
  /// `note` tells what a device's line says beyond its words.
  void Write(const char* text, size_t len, bool error = false,
             LineNote note = LineNote::kNone) const;
  void Write(const std::string& text, bool error = false) const {
    Write(text.data(), text.size(), error);
  }
  bool journal() const { return journal_; }

  struct Queue;

 private:
  bool journal_;
  RepeatGate* gate_;
  // Shared with the writer thread, which outlives the stream when a reader
  // never comes back: the program ends without it.
  std::shared_ptr<Queue> queue_;
};
