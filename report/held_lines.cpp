// Held lines and the files they go to: see held_lines.h.
#include "report/held_lines.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "report/file_kind.h"
#include "report/open_failure.h"

namespace {

bool GivenUp(const std::atomic<bool>* givenUp) {
  return givenUp != nullptr && givenUp->load(std::memory_order_relaxed);
}

// Whether `path` no longer names the file open on `fd`: renamed or removed
// by a rotation. A name that cannot be looked at for another reason keeps
// the descriptor.
bool Rotated(const std::string& path, int fd) {
  struct stat byName {}, byFd {};
  if (stat(path.c_str(), &byName) != 0) return errno == ENOENT;
  if (fstat(fd, &byFd) != 0) return false;
  return byName.st_dev != byFd.st_dev || byName.st_ino != byFd.st_ino;
}

// A descriptor of `file` for this round (the caller's own, so that the
// front end may close or replace the file meanwhile), opened anew when the
// file is not open or its name leads elsewhere. -1 with `why` when none.
int RoundDescriptor(LineFile& file, std::mutex& lock, const std::atomic<bool>* givenUp,
                    const std::string& path, int fd, std::string* why) {
  if (fd >= 0 && !Rotated(path, fd)) return fd;
  if (fd >= 0) close(fd);
  const int opened = OpenAppendFile(path, why);
  if (opened < 0) return -1;
  int old = -1;
  int mine = -1;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!GivenUp(givenUp) && file.path == path) {
      old = file.fd;
      file.fd = opened;
      mine = dup(opened);
    } else {
      old = opened;  // replaced or given up meanwhile
    }
  }
  if (old >= 0) close(old);
  if (mine < 0) *why = std::strerror(errno);
  return mine;
}

// Whether the file ends in the middle of a line (what a kill or a failed
// truncation left). A descriptor that cannot be read says nothing.
bool EndsInsideALine(int fd, off_t size) {
  if (size <= 0) return false;
  char last = '\n';
  return pread(fd, &last, 1, size - 1) == 1 && last != '\n';
}

// Writes all of `text` at the end of the file, or, when the disk takes
// only part of it, cuts the part off again. 0, or the errno that stopped it.
int AppendWhole(int fd, const std::string& text, bool* wrote) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      *wrote = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int err = n < 0 ? errno : ENOSPC;
    if (done > 0) {
      // Should this fail too, the next round finds the file ending inside
      // a line and ends it first.
      [[maybe_unused]] const int cut = ftruncate(fd, st.st_size);
    }
    return err;
  }
  return 0;
}

}  // namespace

namespace {

// One pass of WriteHeldRound; `again` when the file was replaced while it
// failed, so that the new file is tried at once (no other round is left
// to take the lines held meanwhile).
bool RoundOnce(LineFile& file, std::mutex& lock, const std::atomic<bool>* givenUp,
               std::string* why, bool* again) {
  std::string path;
  const char* lineEnd = "\n";
  int fd = -1;
  {
    std::lock_guard<std::mutex> guard(lock);
    // Lines held for no file wait for one (a stop shows them); there is
    // nothing to try meanwhile.
    if (GivenUp(givenUp) || file.held.lines.empty() || file.path.empty()) return true;
    lineEnd = file.lineEnd;
    // The round under way takes this caller's lines too.
    if (file.writing) return true;
    file.writing = true;
    path = file.path;
    if (file.fd >= 0) fd = dup(file.fd);
  }
  // Whoever finds the queue empty ends the round in the same breath, so
  // that a line held just after is never left without a round.
  bool ended = false;
  fd = RoundDescriptor(file, lock, givenUp, path, fd, why);
  int err = fd < 0 ? -1 : 0;
  bool wrote = false;
  // Another process appending to the same file (a second instance) waits
  // here, so that a check of the last byte still holds at the append.
  while (err == 0 && flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) err = errno;
  }
  if (err == 0) {
    struct stat st {};
    std::string first = fstat(fd, &st) == 0 && EndsInsideALine(fd, st.st_size) ? lineEnd : "";
    for (;;) {
      std::string line;
      {
        std::lock_guard<std::mutex> guard(lock);
        if (GivenUp(givenUp)) break;
        if (file.held.lines.empty()) {
          file.writing = false;
          ended = true;
          break;
        }
        line = file.held.lines.front();
      }
      err = AppendWhole(fd, first + line, &wrote);
      if (err != 0) break;
      first.clear();
      std::lock_guard<std::mutex> guard(lock);
      if (GivenUp(givenUp)) break;
      file.held.lines.pop_front();
    }
    // Once per round, not per line: a line the file took survives a power
    // cut at the end of a shift.
    if (wrote) fdatasync(fd);
    flock(fd, LOCK_UN);
  }
  if (fd >= 0) close(fd);
  if (err > 0) *why = std::strerror(err);
  if (!ended) {
    std::lock_guard<std::mutex> guard(lock);
    if (!GivenUp(givenUp)) {
      file.writing = false;
      *again = err != 0 && !file.path.empty() && file.path != path;
    }
  }
  return err == 0;
}

}  // namespace

bool WriteHeldRound(LineFile& file, std::mutex& lock, const std::atomic<bool>* givenUp,
                    std::string* why) {
  for (;;) {
    bool again = false;
    const bool clear = RoundOnce(file, lock, givenUp, why, &again);
    if (!again) return clear;
  }
}

int OpenAppendFile(const std::string& path, std::string* why) {
  // Looked at before the open (a device may act on it), then again at
  // what was opened, in case the name now leads elsewhere.
  struct stat st {};
  const char* refusal = nullptr;
  if (stat(path.c_str(), &st) == 0 && (refusal = NotARegularFile(st.st_mode)) != nullptr) {
    *why = refusal;
    return -1;
  }
  constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = open(path.c_str(), O_RDWR | kFlags, 0644);
  // A file the server may append to but not read: the last byte goes
  // unchecked.
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_WRONLY | kFlags, 0644);
  if (fd < 0) {
    *why = OpenFailure(path, errno);
    return -1;
  }
  if (fstat(fd, &st) != 0 || (refusal = NotARegularFile(st.st_mode)) != nullptr) {
    *why = refusal != nullptr ? refusal : std::strerror(errno);
    close(fd);
    return -1;
  }
  // Regular files ignore it, but no write may ever come back EAGAIN.
  fcntl(fd, F_SETFL, O_APPEND);
  return fd;
}

bool OpenLineFile(LineFile& file, std::mutex& lock, const std::string& path, std::string* why) {
  const int fd = OpenAppendFile(path, why);
  int raced = -1;
  {
    std::lock_guard<std::mutex> guard(lock);
    // Only when two openers raced; the later file wins, none leaks.
    raced = file.fd;
    file.fd = fd;
    file.path = path;
    file.failing = fd < 0;
  }
  if (raced >= 0) close(raced);
  return fd >= 0;
}

void CloseLineFile(LineFile& file, std::mutex& lock) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> guard(lock);
    fd = file.fd;
    file.fd = -1;
    file.path.clear();
    file.failing = false;
  }
  if (fd >= 0) close(fd);
}
