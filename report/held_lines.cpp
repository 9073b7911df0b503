// Held outcome lines and the files they go to: see held_lines.h.
#include "report/held_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "report/file_kind.h"

int WriteHeldLines(int fd, HeldLines& held, std::mutex& lock, bool* wrote) {
  *wrote = false;
  for (;;) {
    std::string line;
    size_t done = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (held.lines.empty()) return 0;
      line = held.lines.front();
      done = held.frontWritten;
    }
    while (done < line.size()) {
      const ssize_t n = write(fd, line.data() + done, line.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        *wrote = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      const int err = n < 0 ? errno : ENOSPC;
      std::lock_guard<std::mutex> guard(lock);
      // Only this writer takes lines out; the front one is still ours.
      held.frontWritten = done;
      return err;
    }
    std::lock_guard<std::mutex> guard(lock);
    held.lines.pop_front();
    held.frontWritten = 0;
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
  const int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) {
    *why = std::strerror(errno);
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
