// The headless server's output streams and their journal form.
#include "console/headless/headless_output.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char kErrorTag[] = "[Error]";

void WriteAll(int fd, const char* text, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace

bool IsJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  int used = 0;
  if (std::sscanf(journalStream, "%llu:%llu%n", &device, &inode, &used) != 2 ||
      journalStream[used] != '\0')
    return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

std::string JournalLines(const char* text, size_t len, bool error) {
  std::string out;
  out.reserve(len + len / 16 + 8);
  size_t at = 0;
  while (at < len) {
    const char* lf = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
    size_t end = lf != nullptr ? static_cast<size_t>(lf - text) : len;
    size_t lineEnd = end;
    while (lineEnd > at && text[lineEnd - 1] == '\r') --lineEnd;
    const bool isError =
        error || (lineEnd - at >= sizeof kErrorTag - 1 &&
                  std::memcmp(text + at, kErrorTag, sizeof kErrorTag - 1) == 0);
    out += isError ? "<3>" : "<6>";
    out.append(text + at, lineEnd - at);
    out += '\n';
    at = end + 1;
  }
  return out;
}

void RepeatGate::SetOn(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  on_ = on;
  seen_.clear();
}

std::string RepeatGate::Pass(const std::string& text, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!On()) return text;
  auto [it, first] = seen_.try_emplace(text, Seen{now, 0});
  if (first) return text;
  Seen& seen = it->second;
  if (now - seen.shown < kInterval) {
    ++seen.held;
    return {};
  }
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  const std::string shown = text.substr(0, end) + " (repeated " +
                            std::to_string(seen.held + 1) + " times)" + text.substr(end);
  seen = Seen{now, 0};
  return shown;
}

void HeadlessStream::Write(const char* text, size_t len, bool error) const {
  std::string passed;
  // The gate is on only while the server waits; the lines of a run go out
  // without a copy.
  if (gate_ != nullptr && gate_->On()) {
    passed = gate_->Pass(std::string(text, len), RepeatGate::Clock::now());
    if (passed.empty()) return;
    text = passed.data();
    len = passed.size();
  }
  if (!journal_) {
    WriteAll(fd_, text, len);
    return;
  }
  const std::string lines = JournalLines(text, len, error);
  WriteAll(fd_, lines.data(), lines.size());
}
