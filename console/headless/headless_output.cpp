// The headless server's output streams and their journal form.
#include "console/headless/headless_output.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
// The entries tell where the line came from in their own fields.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace {

constexpr char kErrorTag[] = "[Error]";
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

// Calls `each` with every line of the text, without its CR and LF.
template <typename Each>
void ForEachLine(const char* text, size_t len, Each each) {
  size_t at = 0;
  while (at < len) {
    const char* lf = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
    const size_t end = lf != nullptr ? static_cast<size_t>(lf - text) : len;
    size_t lineEnd = end;
    while (lineEnd > at && text[lineEnd - 1] == '\r') --lineEnd;
    each(text + at, lineEnd - at);
    at = end + 1;
  }
}

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

int JournalPriority(const char* line, size_t len, bool error, LineNote note) {
  if (error || (len >= sizeof kErrorTag - 1 &&
                std::memcmp(line, kErrorTag, sizeof kErrorTag - 1) == 0))
    return 3;
  return note == LineNote::kTrouble || note == LineNote::kOutcomeError ? 4 : 6;
}

std::string JournalLines(const char* text, size_t len, bool error, LineNote note) {
  std::string out;
  out.reserve(len + len / 16 + 8);
  ForEachLine(text, len, [&](const char* line, size_t n) {
    out += '<';
    out += static_cast<char>('0' + JournalPriority(line, n, error, note));
    out += '>';
    out.append(line, n);
    out += '\n';
  });
  return out;
}

std::vector<std::string> JournalEntry(const char* line, size_t len, bool error, LineNote note) {
  std::vector<std::string> fields;
  fields.push_back("MESSAGE=" + std::string(line, len));
  fields.push_back("PRIORITY=" + std::to_string(JournalPriority(line, len, error, note)));
  fields.push_back("SYSLOG_IDENTIFIER=skav-server");
  // "[02-5a-00-00-00-01] ...": a device's own line.
  static constexpr size_t kMacText = 17;
  if (len < kMacText + 2 || line[0] != '[' || line[kMacText + 1] != ']') return fields;
  std::string mac(line + 1, kMacText);
  for (size_t i = 0; i < kMacText; ++i) {
    const char c = mac[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (i % 3 == 2 ? c != '-' : !hex) return fields;
    if (c >= 'a' && c <= 'f') mac[i] = static_cast<char>(c - 'a' + 'A');
  }
  fields.push_back("SKAV_MAC=" + mac);
  if (note == LineNote::kOutcomeDone) fields.push_back("SKAV_OUTCOME=Done");
  if (note == LineNote::kOutcomeError) fields.push_back("SKAV_OUTCOME=Error");
  return fields;
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

struct HeadlessStream::Queue {
  // A text as it was written: in the journal's own entries each line is
  // filed by what the text's writer said of it.
  struct Piece {
    std::string text;
    bool error = false;
    LineNote note = LineNote::kNone;
    bool warning = false;  // the drop count: a warning whatever its words
  };

  int fd;
  bool journal;
  // Entries of their own for the journal: the texts are queued as they
  // are. Set before the writer starts.
  bool nativeWanted = false;
  // The writer's alone: the journal still takes entries; once it refuses
  // one, the stream's form.
  bool native = false;
  std::mutex mu;
  std::condition_variable wake;     // a text, or the end
  std::condition_variable drained;  // the writer has ended
  std::deque<Piece> texts;
  size_t bytes = 0;
  unsigned long long droppedLines = 0;
  bool ending = false;
  bool ended = false;

  void Push(Piece piece) {
    std::lock_guard<std::mutex> lock(mu);
    if (bytes + piece.text.size() > kQueueBytes) {
      const auto lines = static_cast<unsigned long long>(
          std::count(piece.text.begin(), piece.text.end(), '\n'));
      droppedLines += lines > 0 ? lines : 1;
      return;
    }
    // The queue has room again: the count goes before the text.
    NoteDropped();
    bytes += piece.text.size();
    texts.push_back(std::move(piece));
    wake.notify_one();
  }

  // Under mu, once the reader has taken something or the queue has room.
  void NoteDropped() {
    if (droppedLines == 0) return;
    Piece note;
    note.text = DroppedLinesText(droppedLines);
    note.warning = true;
    if (journal && !nativeWanted) note.text = "<4>" + note.text;
    bytes += note.text.size();
    texts.push_back(std::move(note));
    droppedLines = 0;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      wake.wait(lock, [&] { return !texts.empty() || ending; });
      if (texts.empty()) break;
      Piece piece = std::move(texts.front());
      texts.pop_front();
      lock.unlock();
      if (nativeWanted)
        Send(piece);
      else
        WriteAll(fd, piece.text.data(), piece.text.size());
      lock.lock();
      bytes -= piece.text.size();
      // The reader took a text: output flows again.
      NoteDropped();
    }
    ended = true;
    drained.notify_all();
  }

  // One entry per line, MESSAGE the line as the Debug Window shows it. A
  // journal that refuses an entry gets the stream's form from then on.
  void Send(const Piece& piece) {
    std::string rest;
    ForEachLine(piece.text.data(), piece.text.size(), [&](const char* line, size_t n) {
      if (native) {
        std::vector<std::string> fields = JournalEntry(line, n, piece.error, piece.note);
        if (piece.warning) fields[1] = "PRIORITY=4";
        std::vector<iovec> entry;
        for (std::string& field : fields) entry.push_back({field.data(), field.size()});
        if (sd_journal_sendv(entry.data(), static_cast<int>(entry.size())) >= 0) return;
        native = false;
      }
      const std::string one = JournalLines(line, n, piece.error, piece.note);
      rest += piece.warning ? "<4>" + one.substr(3) : one;
    });
    if (!rest.empty()) WriteAll(fd, rest.data(), rest.size());
  }
};

std::string DroppedLinesText(unsigned long long lines) {
  return "skav-server: " + std::to_string(lines) +
         (lines == 1 ? " line" : " lines") +
         " of output dropped: it was not read in time\n";
}

HeadlessStream::HeadlessStream(int fd, bool journal, RepeatGate* gate, bool native)
    : journal_(journal), gate_(gate), queue_(std::make_shared<Queue>()) {
  queue_->fd = fd;
  queue_->journal = journal;
  // libsystemd takes entries without a word when the journal's socket is
  // not there: they would be lost. The journal's own stream is a socket
  // too; a pipe named as the stream (a test's reader) gets the text form.
  struct stat st {};
  struct stat out {};
  queue_->nativeWanted = journal && native && stat(kJournalSocket, &st) == 0 &&
                         S_ISSOCK(st.st_mode) && fstat(fd, &out) == 0 && S_ISSOCK(out.st_mode);
  queue_->native = queue_->nativeWanted;
  std::thread([queue = queue_] { queue->Run(); }).detach();
}

HeadlessStream::~HeadlessStream() {
  std::unique_lock<std::mutex> lock(queue_->mu);
  queue_->ending = true;
  queue_->wake.notify_one();
  queue_->drained.wait_for(lock, kDrainLimit, [&] { return queue_->ended; });
}

void HeadlessStream::Write(const char* text, size_t len, bool error, LineNote note) const {
  std::string passed;
  // The gate is on only while the server waits; the lines of a run pass
  // it without a copy.
  if (gate_ != nullptr && gate_->On()) {
    passed = gate_->Pass(std::string(text, len), RepeatGate::Clock::now());
    if (passed.empty()) return;
    text = passed.data();
    len = passed.size();
  }
  Queue::Piece piece;
  piece.error = error;
  piece.note = note;
  if (queue_->nativeWanted)
    piece.text.assign(text, len);
  else
    piece.text = journal_ ? JournalLines(text, len, error, note) : std::string(text, len);
  queue_->Push(std::move(piece));
}
