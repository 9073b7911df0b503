// The engine's front-end thread: batches taken from the run, cut into
// messages once per tick and queued for every connection without waiting
// for any of them; verbs read from the connections and handed to the run.
#include "engine/front_hub.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/peer_check.h"
#include "link/if_claim.h"
#include "report/device_live.h"

namespace {

using remote::EngineMode;
using remote::FrontType;

// What may wait between two ticks before the batch counts as lost.
constexpr size_t kTextBatchMax = 1024 * 1024;
constexpr size_t kEditBatchMax = 1024 * 1024;
constexpr size_t kNotesMax = 4096;
// Panel text per edit when the whole text goes out.
constexpr size_t kWholeChunk = 60000;
// How long a connection may wait before it says hello.
constexpr int64_t kHelloMs = 10000;
// A whole panel or row set goes into a queue this empty, whatever its size.
constexpr size_t kRoomForWhole = FrontConnection::kBulkLimit / 4;

// Encoded messages, each with the number of Debug Window texts it carries.
struct Chunk {
  std::string bytes;
  uint64_t pieces = 0;
};

void Say(const std::string& line) {
  const std::string text = "skav-server: " + line + "\n";
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
}

std::vector<Chunk> PanelMessages(const std::vector<remote::PanelEdit>& edits,
                                 const remote::PanelNews& head) {
  std::vector<Chunk> out;
  remote::PanelNews news = head;
  size_t size = 0;
  const auto flush = [&] {
    if (news.edits.empty() && !news.whole) return;
    Chunk c;
    remote::EncodePanel(c.bytes, news);
    out.push_back(std::move(c));
    news.whole = false;
    news.edits.clear();
    size = 0;
  };
  for (const remote::PanelEdit& e : edits) {
    if (size + e.text.size() + 10 > remote::kBatchPayload) flush();
    size += e.text.size() + 10;
    news.edits.push_back(e);
  }
  flush();
  return out;
}

std::vector<Chunk> WholePanel(const std::string& text, const int32_t (&words)[11]) {
  std::vector<remote::PanelEdit> edits;
  for (size_t at = 0; at < text.size(); at += kWholeChunk) {
    edits.push_back({static_cast<int32_t>(at), 0, text.substr(at, kWholeChunk)});
  }
  remote::PanelNews head;
  head.whole = true;
  std::copy(std::begin(words), std::end(words), head.words);
  return PanelMessages(edits, head);
}

size_t LineSize(const remote::ProgressLine& line) {
  size_t n = 80 + 11 * 10;
  for (const std::string& cell : line.facts.text) n += cell.size();
  return n;
}

std::vector<Chunk> ProgressMessages(const remote::ProgressNews& all) {
  std::vector<Chunk> out;
  remote::ProgressNews news;
  news.whole = all.whole;
  news.gone = all.gone;
  size_t size = news.gone.size() * 4;
  const auto flush = [&] {
    Chunk c;
    remote::EncodeProgress(c.bytes, news);
    out.push_back(std::move(c));
    news = remote::ProgressNews{};
    size = 0;
  };
  for (const remote::ProgressLine& line : all.lines) {
    if (size + LineSize(line) > remote::kBatchPayload && !news.lines.empty()) flush();
    size += LineSize(line);
    news.lines.push_back(line);
  }
  if (!news.lines.empty() || news.whole || !news.gone.empty()) flush();
  return out;
}

// Queues chunks in order; stops at the first that does not fit, since a
// later edit or row means nothing without the ones before it.
bool QueueAll(FrontConnection& c, const std::vector<Chunk>& chunks) {
  for (const Chunk& chunk : chunks) {
    if (!c.Queue(chunk.bytes, true)) return false;
  }
  return true;
}

// What one pass hands to every connection.
struct Batch {
  std::vector<Chunk> text;
  uint64_t textDropped = 0;
  std::vector<Chunk> edits;
  bool editsLost = false;
  std::string panelText;  // the whole panel's messages, when some connection takes it
  int32_t words[11] = {};
  bool haveWhole = false;
  std::vector<Chunk> progress, progressWhole;
  bool progressRead = false;
  remote::StateNews state;
};

}  // namespace

FrontHub::FrontHub(EngineMode mode)
    : mode_(mode), self_(geteuid()), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

FrontHub::~FrontHub() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    Wake();
    thread_.join();
  }
  if (wakeFd_ >= 0) close(wakeFd_);
}

void FrontHub::Watch(const PanelState* panel, ProgressBoard* progress, LogSlot* textSlot) {
  std::lock_guard<std::mutex> lock(watchMu_);
  if (textSlot_ != nullptr) textSlot_->store(nullptr, std::memory_order_release);
  panel_ = panel;
  progress_ = progress;
  textSlot_ = textSlot;
  if (textSlot_ != nullptr) textSlot_->store(nullptr, std::memory_order_release);
}

void FrontHub::Adopt(int fd) {
  connections_.push_back(std::make_unique<FrontConnection>(fd, nextId_++));
}

bool FrontHub::Listen(const std::string& port, std::string* why) {
  return listener_.Open(port, why);
}

void FrontHub::Start() {
  if (mode_ == EngineMode::kOwn && connections_.empty()) gone_.store(true);
  thread_ = std::thread([this] { Run(); });
}

// --- any thread --------------------------------------------------------------

void FrontHub::Append(const char* text, size_t len) { AppendNoted(text, len, LineNote::kNone); }

void FrontHub::AppendNoted(const char* text, size_t len, LineNote note) {
  if (!WantsText()) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (text_.size() + len + 3 > kTextBatchMax) {
    ++textDropped_;
    return;
  }
  remote::AppendTextPiece(text_, note, std::string_view(text, len));
}

void FrontHub::OnEdit(int pos, int count, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  panelText_.replace(static_cast<size_t>(pos), static_cast<size_t>(count), text);
  if (!wantsPanel_.load(std::memory_order_relaxed) || editsLost_) return;
  if (editBytes_ + text.size() > kEditBatchMax) {
    edits_.clear();
    editBytes_ = 0;
    editsLost_ = true;
    return;
  }
  editBytes_ += text.size() + 10;
  // Appends one behind the other (a rebuild writes an entry at a time)
  // travel as one edit.
  if (!edits_.empty() && count == 0) {
    remote::PanelEdit& last = edits_.back();
    if (last.pos + static_cast<int32_t>(last.text.size()) == pos &&
        last.text.size() + text.size() <= kWholeChunk) {
      last.text += text;
      return;
    }
  }
  // An edit's text is at most kWholeChunk on the wire.
  for (size_t at = 0; at == 0 || at < text.size(); at += kWholeChunk) {
    edits_.push_back({pos + static_cast<int32_t>(at), at == 0 ? count : 0,
                      text.substr(at, kWholeChunk)});
  }
}

void FrontHub::Show(const char* text) {
  Note note;
  remote::EncodeError(note.bytes, text);
  Post(std::move(note));
}

// --- the run's thread ----------------------------------------------------------

void FrontHub::SetState(remote::RunState state, const std::string& port) {
  std::lock_guard<std::mutex> lock(mu_);
  state_ = state;
  if (!port.empty()) port_ = port;
  // A front end that attaches later hears of the images of a run going.
  if (state == remote::RunState::kStopped || state == remote::RunState::kWaitingForPort)
    haveImages_ = false;
}

void FrontHub::Told(PortNews news, const std::string& text) {
  Note note;
  remote::EncodePortNews(note.bytes, {news, text});
  Post(std::move(note));
}

void FrontHub::Unwritten(const std::string& text) {
  // In pieces that end with a line, each at most one message.
  for (size_t at = 0; at < text.size();) {
    size_t n = std::min(text.size() - at, remote::kBatchPayload);
    if (at + n < text.size()) {
      const size_t end = text.rfind('\n', at + n - 1);
      if (end != std::string::npos && end >= at) n = end + 1 - at;
    }
    Note note;
    remote::EncodeUnwritten(note.bytes, std::string_view(text).substr(at, n));
    Post(std::move(note));
    at += n;
  }
}

void FrontHub::Images(const ImageFacts (&images)[kImageCount]) {
  Note note;
  remote::EncodeImages(note.bytes, images);
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::copy(std::begin(images), std::end(images), images_);
    haveImages_ = true;
  }
  Post(std::move(note));
}

void FrontHub::Answer(const FrontRequest& request, bool done, const std::string& reason) {
  if (request.gone) return;
  Note note;
  note.to = request.connection;
  note.reply = true;
  remote::EncodeReply(note.bytes, {request.message.seq, request.message.type, done, reason});
  Post(std::move(note));
}

void FrontHub::Post(Note note) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Replies are few (a bounded number waits per connection) and each
    // frees its connection's place for the next request: never dropped.
    if (notes_.size() >= kNotesMax && !note.reply) {
      ++notesDropped_;
      return;
    }
    notes_.push_back(std::move(note));
  }
  Wake();
}

void FrontHub::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

// --- the hub's thread ------------------------------------------------------------

void FrontHub::Run() {
  int64_t nextTick = SteadyMs();
  std::vector<pollfd> fds;
  for (bool last = false; !last;) {
    fds.clear();
    fds.push_back({wakeFd_, POLLIN, 0});
    fds.push_back({listener_.fd(), POLLIN, 0});
    for (const auto& c : connections_) {
      short events = c->closing ? 0 : POLLIN;
      if (c->Queued() > 0) events |= POLLOUT;
      fds.push_back({c->fd(), events, 0});
    }
    const int64_t wait = std::max<int64_t>(0, nextTick - SteadyMs());
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) break;
    {
      std::lock_guard<std::mutex> lock(mu_);
      last = stopping_;
    }
    bool woken = false;
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      woken = read(wakeFd_, &count, sizeof count) > 0;
    }
    if (fds[1].revents & POLLIN) AcceptAll();
    for (size_t i = 0; i < connections_.size(); ++i) {
      FrontConnection& c = *connections_[i];
      if (i + 2 < fds.size() && (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
          !c.closing) {
        ReadFrom(c);
      }
    }
    const int64_t now = SteadyMs();
    const bool tick = now >= nextTick || last;
    if (tick) nextTick = now + kTickMs;
    if (tick || woken) Distribute(tick);

    bool changed = false;
    for (auto it = connections_.begin(); it != connections_.end();) {
      FrontConnection& c = **it;
      if (!c.helloDone && !c.closing && now - c.since > kHelloMs)
        Refuse(c, "no hello within " + std::to_string(kHelloMs / 1000) + " s");
      const bool alive = c.fd() >= 0 && c.Flush() && !(c.closing && c.Queued() == 0);
      if (alive) {
        ++it;
        continue;
      }
      it = connections_.erase(it);
      changed = true;
      if (mode_ == EngineMode::kOwn) {
        gone_.store(true, std::memory_order_release);
        requests_.Push(FrontRequest{0, {}, true});
      }
    }
    if (changed) UpdateWants();
  }
}

void FrontHub::AcceptAll() {
  for (int fd; (fd = listener_.Accept()) >= 0;) {
    auto c = std::make_unique<FrontConnection>(fd, nextId_++);
    PeerCredentials peer;
    std::string why;
    gid_t operators = 0;
    const bool haveGroup = L2_OperatorGroup(&operators);
    if (!ReadPeerCredentials(fd, &peer, &why)) {
      Refuse(*c, why);
    } else if (std::string no = PeerRefusal(peer, self_, haveGroup, operators); !no.empty()) {
      Refuse(*c, no);
    } else if (connections_.size() >= kMaxConnections) {
      Refuse(*c, "this bench has " + std::to_string(kMaxConnections) +
                     " front ends attached already");
    }
    connections_.push_back(std::move(c));
  }
}

void FrontHub::Refuse(FrontConnection& c, const std::string& reason) {
  std::string bytes;
  remote::EncodeRefused(bytes, reason);
  c.Queue(bytes, false);
  c.closing = true;
}

void FrontHub::ReadFrom(FrontConnection& c) {
  if (!c.Read()) {
    c.closing = true;
    // Nothing more will be read: what is queued goes, then it closes.
    c.Flush();
    shutdown(c.fd(), SHUT_RDWR);
    return;
  }
  remote::Message m;
  for (;;) {
    const remote::FrameReader::Result r = c.In().Next(&m);
    if (r == remote::FrameReader::Result::kNeedMore) return;
    if (r == remote::FrameReader::Result::kBad) return Refuse(c, c.In().error());
    Handle(c, m);
    if (c.closing) return;
  }
}

void FrontHub::Handle(FrontConnection& c, const remote::Message& m) {
  if (!c.helloDone) {
    uint16_t version = 0;
    if (m.type != static_cast<uint8_t>(FrontType::kHello) || !remote::HelloVersion(m.payload, &version))
      return Refuse(c, "a front end says hello first");
    if (version != remote::kProtocolVersion) {
      return Refuse(c, "this engine speaks version " + std::to_string(remote::kProtocolVersion) +
                           " of the front-end protocol and the front end version " +
                           std::to_string(version) + "; install matching versions of skav-server");
    }
    c.helloDone = true;
    std::string bytes;
    remote::EngineHello hello;
    hello.pid = static_cast<uint32_t>(getpid());
    hello.mode = mode_;
    bool images = false;
    ImageFacts facts[kImageCount];
    {
      std::lock_guard<std::mutex> lock(mu_);
      hello.interfaceName = port_;
      images = haveImages_;
      if (images) std::copy(std::begin(images_), std::end(images_), facts);
    }
    remote::EncodeHello(bytes, hello);
    if (images) remote::EncodeImages(bytes, facts);
    c.Queue(bytes, false);
    // The state follows with the next batch, as for everybody.
    return;
  }
  remote::FrontMessage msg;
  if (!remote::DecodeFront(m.type, m.payload, &msg) || msg.type == FrontType::kHello) {
    return Refuse(c, "a malformed message of type " + std::to_string(m.type) +
                         " (" + std::to_string(m.payload.size()) + " bytes)");
  }
  const FrontRequest request{c.id(), msg, false};
  const auto answer = [&](bool done, const std::string& reason) {
    std::string bytes;
    remote::EncodeReply(bytes, {msg.seq, msg.type, done, reason});
    if (!c.Queue(bytes, false)) {
      ++c.missed.messages;
      c.missedUntold = true;
    }
  };
  const bool own = mode_ == EngineMode::kOwn;
  switch (msg.type) {
    case FrontType::kWant: {
      const uint8_t added = msg.want & ~c.want;
      if ((added & remote::kWantText) && !greeting_.empty()) {
        std::string piece, bytes;
        remote::AppendTextPiece(piece, LineNote::kNone, greeting_);
        remote::EncodeTextBatch(bytes, piece);
        c.Queue(bytes, true);
      }
      if (added & remote::kWantPanel) c.panelWhole = true;
      if (added & remote::kWantProgress) c.progressWhole = true;
      c.want = msg.want;
      UpdateWants();
      return answer(true, {});
    }
    case FrontType::kStart:
    case FrontType::kLogFile:
    case FrontType::kLogNote:
    case FrontType::kRecordFile:
      if (!own)
        return answer(false, "a bench service keeps the images, the log file and the record "
                             "its settings name; change them there and reload");
      break;
    case FrontType::kStartStored:
    case FrontType::kReload:
      if (own) return answer(false, "an engine started by a window has no settings of its own");
      break;
    default:
      break;
  }
  if (c.pendingRequests >= kMaxPendingRequests)
    return answer(false, "too many requests are waiting; try again in a moment");
  ++c.pendingRequests;
  requests_.Push(request);
}

void FrontHub::UpdateWants() {
  bool text = false, panel = false, progress = false;
  for (const auto& c : connections_) {
    if (!c->helloDone || c->closing) continue;
    text = text || (c->want & remote::kWantText);
    panel = panel || (c->want & remote::kWantPanel);
    progress = progress || (c->want & remote::kWantProgress);
  }
  wantsText_.store(text, std::memory_order_relaxed);
  wantsPanel_.store(panel, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(watchMu_);
  if (textSlot_ != nullptr)
    textSlot_->store(text ? static_cast<LogSink*>(this) : nullptr, std::memory_order_release);
  // A bench service publishes its rows for its own listing anyway.
  if (progress_ != nullptr && (progress || mode_ == EngineMode::kOwn))
    progress_->wanted.store(progress, std::memory_order_relaxed);
}

void FrontHub::Distribute(bool tick) {
  Batch b;
  std::vector<Note> notes;
  uint64_t notesDropped = 0;
  std::string port;
  bool needWhole = false;
  bool wantProgress = false;
  for (const auto& c : connections_) {
    if (!c->helloDone || c->closing) continue;
    needWhole = needWhole || ((c->want & remote::kWantPanel) && c->panelWhole);
    wantProgress = wantProgress || (c->want & remote::kWantProgress);
  }
  std::vector<remote::PanelEdit> edits;
  {
    std::lock_guard<std::mutex> lock(mu_);
    {
      if (!text_.empty()) {
        // Cut at piece boundaries into messages of at most a batch each.
        for (size_t at = 0; at < text_.size();) {
          Chunk chunk;
          size_t end = at;
          uint64_t pieces = 0;
          while (end < text_.size()) {
            const size_t len = 3 + (static_cast<uint8_t>(text_[end + 1]) << 8 |
                                    static_cast<uint8_t>(text_[end + 2]));
            if (end > at && end + len - at > remote::kBatchPayload) break;
            end += len;
            ++pieces;
          }
          remote::EncodeTextBatch(chunk.bytes, std::string_view(text_).substr(at, end - at));
          chunk.pieces = pieces;
          b.text.push_back(std::move(chunk));
          at = end;
        }
        text_.clear();
      }
      b.textDropped = textDropped_;
      textDropped_ = 0;
      edits.swap(edits_);
      editBytes_ = 0;
      b.editsLost = editsLost_;
      editsLost_ = false;
      if (needWhole || b.editsLost) {
        b.panelText = panelText_;
        b.haveWhole = true;
      }
    }
    notes.swap(notes_);
    notesDropped = notesDropped_;
    notesDropped_ = 0;
    b.state.state = state_;
    b.state.port = port_;
    port = port_;
  }
  std::unique_lock<std::mutex> watched(watchMu_);
  if (panel_ != nullptr) {
    for (int i = 0; i < 11; ++i) b.words[i] = panel_->Get(i);
    b.state.total = b.words[total];
    b.state.errorCount = b.words[errorCount];
    b.state.doneCount = b.words[doneCount];
    b.state.reworkingCount = b.words[reworkingCount];
    b.state.sortKey = b.words[sortKey];
  }
  if (!edits.empty()) {
    remote::PanelNews head;
    std::copy(std::begin(b.words), std::end(b.words), head.words);
    b.edits = PanelMessages(edits, head);
  }
  if (b.haveWhole) {
    const std::vector<Chunk> whole = WholePanel(b.panelText, b.words);
    b.panelText.clear();
    for (const Chunk& chunk : whole) b.panelText += chunk.bytes;
  }
  const int64_t now = SteadyMs();
  if (tick && wantProgress && progress_ != nullptr && now >= nextProgressMs_) {
    nextProgressMs_ = now + kProgressMs;
    feed_.Read(progress_->Rows(), now);
    b.progress = ProgressMessages(feed_.Changes());
    b.progressWhole = ProgressMessages(feed_.Whole());
    b.progressRead = true;
  }
  watched.unlock();
  // A bench whose settings now name another port moves its socket along.
  if (listener_.fd() >= 0 && !port.empty() && port != listener_.port()) {
    std::string why;
    if (!listener_.Open(port, &why)) Say("front ends cannot attach: " + why);
  }

  for (const auto& conn : connections_) {
    FrontConnection& c = *conn;
    for (const Note& note : notes) {
      if (note.to != 0 && note.to != c.id()) continue;
      if (note.reply) --c.pendingRequests;
    }
    if (!c.helloDone || c.closing) continue;
    bool missed = false;
    if (c.want & remote::kWantText) {
      c.missed.texts += b.textDropped;
      missed = b.textDropped > 0;
      for (const Chunk& chunk : b.text) {
        if (c.Queue(chunk.bytes, true)) continue;
        c.missed.texts += chunk.pieces;
        missed = true;
      }
    }
    if (c.want & remote::kWantPanel) {
      if (b.editsLost) c.panelWhole = true;
      if (!c.panelWhole && !QueueAll(c, b.edits)) {
        c.panelWhole = c.panelDropped = true;
      }
      if (c.panelWhole && b.haveWhole && c.Queued() < kRoomForWhole) {
        c.QueueAnyway(b.panelText);
        c.panelWhole = false;
        if (c.panelDropped) {
          ++c.missed.panelResends;
          c.panelDropped = false;
          missed = true;
        }
      }
    }
    if ((c.want & remote::kWantProgress) && b.progressRead) {
      if (!c.progressWhole && !QueueAll(c, b.progress)) c.progressWhole = c.progressDropped = true;
      if (c.progressWhole && c.Queued() < kRoomForWhole) {
        for (const Chunk& chunk : b.progressWhole) c.QueueAnyway(chunk.bytes);
        c.progressWhole = false;
        if (c.progressDropped) {
          ++c.missed.progressResends;
          c.progressDropped = false;
          missed = true;
        }
      }
    }
    // After the batch: the state, then replies and news, come after the
    // lines and edits that led to them.
    if (!c.stateSent || !(c.lastState == b.state)) {
      std::string bytes;
      remote::EncodeState(bytes, b.state);
      if (c.Queue(bytes, false)) {
        c.lastState = b.state;
        c.stateSent = true;
      }
    }
    c.missed.messages += notesDropped;
    missed = missed || notesDropped > 0;
    for (const Note& note : notes) {
      if (note.to != 0 && note.to != c.id()) continue;
      if (!c.Queue(note.bytes, false)) {
        ++c.missed.messages;
        missed = true;
      }
    }
    if (missed) c.missedUntold = true;
    if (c.missedUntold && c.Queued() < FrontConnection::kBulkLimit / 2) {
      std::string bytes;
      remote::EncodeMissed(bytes, c.missed);
      if (c.Queue(bytes, false)) c.missedUntold = false;
    }
  }
}
