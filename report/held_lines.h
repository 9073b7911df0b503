// Lines on their way to a file (the log file's, the record's): held apart
// from the client records, oldest first, so that a file that cannot be
// written yet keeps no device in the table and loses no line; and the
// write rounds that take them there without holding any lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

class OutcomeWriter;

/// The most lines one file holds while a run goes on. Past it a finished
/// device keeps its client record, unmarked, until lines have gone out; the
/// stop holds every line whatever the bound: nothing is dropped.
constexpr size_t kMaxHeldLines = 65536;

struct HeldLines {
  std::deque<std::string> lines;  ///< each ends with its line end; only the writer takes them out
};

/// A file that lines go to, kept by its path: opened when a write round
/// needs it (a folder made or a disk mounted later loses nothing), opened
/// anew by its path when the name leads to another file (renamed or
/// removed: a rotation). Every field is read and written only under
/// gLogLock, and no file operation ever happens while it is held.
struct LineFile {
  LineFile(const char* lineEnd, const char* what) : lineEnd(lineEnd), what(what) {}

  const char* const lineEnd;  ///< what every line ends with: "\r\n" or "\n"
  const char* const what;     ///< "log file", "record file": for messages
  std::string path;           ///< empty: no file kept, no line held
  int fd = -1;                ///< -1: not open (yet)
  bool failing = false;       ///< the last open or write failed (said once)
  bool writing = false;       ///< a write round is under way
  HeldLines held;             ///< lines not yet in the file
  /// Takes the held lines to the file; none: whoever holds a line writes
  /// it at once. Set by the front end while no other thread uses the file.
  OutcomeWriter* writer = nullptr;
};

/// One write round of `file`, whose fields `lock` guards: opens it when it
/// is not open or its path leads elsewhere, then, holding an exclusive
/// flock (other processes appending to the same file wait), brings the
/// file back to a whole line when it does not end with one (a line cut by
/// a kill or by a truncation that failed ends there and stays a line of
/// its own), appends the held lines, each whole or not at all (a line the
/// disk takes only in part is cut off again), and makes them durable
/// (fdatasync). Once `givenUp` is set (under `lock`) it touches `file` no
/// more. True when nothing is left to try (nothing held, or no file kept);
/// else `why` tells what stopped it.
bool WriteHeldRound(LineFile& file, std::mutex& lock, const std::atomic<bool>* givenUp,
                    std::string* why);

/// Opens `path` for appending (created 0644 when missing) without waiting
/// for anyone: a named pipe, a device or a socket is refused, since it
/// would block the server or never keep the lines. Readable too where it
/// may be, so that the last byte can be checked. -1 with the reason in
/// `why` on failure.
int OpenAppendFile(const std::string& path, std::string* why);

/// Opens `path` for appending and makes it `file`'s, in place of what it
/// had. A path that cannot be opened yet is kept all the same (its lines
/// wait for it, and the failure counts as said): false, with the reason in
/// `why`.
bool OpenLineFile(LineFile& file, std::mutex& lock, const std::string& path, std::string* why);

/// Forgets the open descriptor of `file` (under `lock`) and closes it
/// after the lock is released.
void CloseLineFile(LineFile& file, std::mutex& lock);
