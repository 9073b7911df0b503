// Outcome lines on their way to a file (the log file's, the record's):
// held apart from the client records, oldest first, so that a file that
// cannot be written yet keeps no device in the table and loses no line.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

/// The most lines one file holds. Past it a finished device keeps its
/// client record, unmarked, until lines have gone out: nothing is dropped.
constexpr size_t kMaxHeldLines = 65536;

struct HeldLines {
  std::deque<std::string> lines;  ///< each ends with its line end
  size_t frontWritten = 0;        ///< bytes of the first already in the file
};

/// Writes the lines of `held` (guarded by `lock`) to `fd`, a descriptor of
/// the caller's own, so that no lock is held while the file is written. A
/// short write goes on from where it stopped; a line leaves `held` once it
/// is all in the file. 0 when none is left, else the errno that stopped
/// it. `wrote` tells whether anything went out.
int WriteHeldLines(int fd, HeldLines& held, std::mutex& lock, bool* wrote);

/// Opens `path` for appending (created 0644 when missing) without waiting
/// for anyone: a named pipe, a device or a socket is refused, since it
/// would block the server or never keep the lines. -1 with the reason in
/// `why` on failure.
int OpenAppendFile(const std::string& path, std::string* why);
