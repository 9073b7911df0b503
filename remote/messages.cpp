// Encoders and strict decoders of every message of the engine's socket
// protocol, field by field in the order the wire carries them.
#include "remote/messages.h"

#include <algorithm>

#include "console/settings/settings_store.h"
#include "protocol/region.h"
#include "remote/frame.h"
#include "remote/wire.h"
#include "report/log_file.h"
#include "report/status_panel.h"

namespace remote {

namespace {

constexpr size_t kReasonMax = 1024;
constexpr size_t kErrorMax = 4096;
constexpr size_t kCellMax = 256;  // a progress cell's text
constexpr size_t kDigestMax = 64;
constexpr size_t kPieceMax = kDebugTextSize - 1;
constexpr size_t kEditTextMax = 0xFFFF;

// A text that C calls would cut at a zero byte means something else to
// them than to us: refused.
bool Clean(std::string_view text) { return text.find('\0') == std::string_view::npos; }

bool KnownRegion(uint8_t code) {
  if (code == 0) return true;
  for (const RegionEntry* r = RegionTable; r->code != 0; ++r) {
    if (r->code == code) return true;
  }
  return false;
}

void WriteStart(WireWriter& w, const StartOrder& s) {
  w.Text(s.interfaceName, kNameMax);
  w.U8(s.regionCode);
  w.Text(s.firmwarePath, kPathMax);
  for (const std::string& table : s.stringTablePaths) w.Text(table, kPathMax);
  w.U32(s.maxClients);
  w.U8(s.logEnabled ? 1 : 0);
  w.Text(s.logPath, kPathMax);
  w.Text(s.recordPath, kPathMax);
}

bool ReadStart(WireReader& r, StartOrder* s) {
  s->interfaceName = r.Text(kNameMax);
  s->regionCode = r.U8();
  s->firmwarePath = r.Text(kPathMax);
  for (std::string& table : s->stringTablePaths) table = r.Text(kPathMax);
  s->maxClients = r.U32();
  const uint8_t log = r.U8();
  s->logEnabled = log == 1;
  s->logPath = r.Text(kPathMax);
  s->recordPath = r.Text(kPathMax);
  if (!r.ok() || log > 1 || !KnownRegion(s->regionCode) ||
      s->maxClients > static_cast<uint32_t>(kMaxLiveClientsLimit)) {
    return false;
  }
  bool clean = Clean(s->interfaceName) && Clean(s->firmwarePath) && Clean(s->logPath) &&
               Clean(s->recordPath);
  for (const std::string& table : s->stringTablePaths) clean = clean && Clean(table);
  return clean;
}

}  // namespace

// --- front end -> engine -----------------------------------------------------

void EncodeFront(std::string& out, const FrontMessage& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(m.type));
  WireWriter w(out);
  if (m.type == FrontType::kHello) {
    w.U16(m.version);
    FinishMessage(out, begin);
    return;
  }
  w.U32(m.seq);
  switch (m.type) {
    case FrontType::kWant:
      w.U8(m.want);
      break;
    case FrontType::kStart:
      WriteStart(w, m.start);
      break;
    case FrontType::kStartStored:
    case FrontType::kStop:
    case FrontType::kReload:
      w.Text(m.password, kNameMax);
      break;
    case FrontType::kSort:
      w.U16(m.sortKey);
      break;
    case FrontType::kLogFile:
      w.U8(m.enabled ? 1 : 0);
      w.Text(m.path, kPathMax);
      break;
    case FrontType::kBanner:
      w.U8(m.banner);
      break;
    case FrontType::kRecordFile:
      w.Text(m.path, kPathMax);
      break;
    case FrontType::kLogNote:
      w.Text(m.path, kNoteMax);
      break;
    case FrontType::kHello:
    case FrontType::kClear:
    case FrontType::kRetryFailed:
      break;
  }
  FinishMessage(out, begin);
}

bool DecodeFront(uint8_t type, std::string_view payload, FrontMessage* m) {
  if (type == 0 || type > kFrontTypeLast) return false;
  *m = FrontMessage{};
  m->type = static_cast<FrontType>(type);
  WireReader r(payload);
  if (m->type == FrontType::kHello) {
    m->version = r.U16();
    return r.Done();
  }
  m->seq = r.U32();
  switch (m->type) {
    case FrontType::kWant:
      m->want = r.U8();
      if ((m->want & ~kWantAll) != 0) r.Refuse();
      break;
    case FrontType::kStart:
      if (!ReadStart(r, &m->start)) r.Refuse();
      break;
    case FrontType::kStartStored:
    case FrontType::kStop:
    case FrontType::kReload:
      m->password = r.Text(kNameMax);
      if (!Clean(m->password)) r.Refuse();
      break;
    case FrontType::kSort:
      m->sortKey = r.U16();
      if (m->sortKey != kSortMacUp && m->sortKey != kSortMacDown && m->sortKey != kSortStatus)
        r.Refuse();
      break;
    case FrontType::kLogFile: {
      const uint8_t enabled = r.U8();
      m->enabled = enabled == 1;
      m->path = r.Text(kPathMax);
      if (enabled > 1 || !Clean(m->path)) r.Refuse();
      break;
    }
    case FrontType::kBanner:
      m->banner = r.U8();
      if (m->banner != BANNER_SUPERVISOR_LOGIN && m->banner != BANNER_SUPERVISOR_LOGOUT)
        r.Refuse();
      break;
    case FrontType::kRecordFile:
      m->path = r.Text(kPathMax);
      if (!Clean(m->path)) r.Refuse();
      break;
    case FrontType::kLogNote:
      // One line: a line end inside would make it two lines of the file.
      m->path = r.Text(kNoteMax);
      if (!Clean(m->path) || m->path.find_first_of("\r\n") != std::string::npos) r.Refuse();
      break;
    case FrontType::kHello:
    case FrontType::kClear:
    case FrontType::kRetryFailed:
      break;
  }
  return r.Done();
}

const char* FrontTypeName(FrontType type) {
  switch (type) {
    case FrontType::kHello: return "hello";
    case FrontType::kWant: return "want";
    case FrontType::kStart: return "start";
    case FrontType::kStartStored: return "start";
    case FrontType::kStop: return "stop";
    case FrontType::kClear: return "clear";
    case FrontType::kSort: return "sort";
    case FrontType::kRetryFailed: return "retry-failed";
    case FrontType::kLogFile: return "log-file";
    case FrontType::kBanner: return "banner";
    case FrontType::kRecordFile: return "record-file";
    case FrontType::kReload: return "reload";
    case FrontType::kLogNote: return "log-note";
  }
  return "?";
}

// --- engine -> front end -----------------------------------------------------

std::string RunStateText(const StateNews& state) {
  switch (state.state) {
    case RunState::kStopped: return "stopped";
    case RunState::kRunning: return "running";
    case RunState::kStopping: return "stopping";
    case RunState::kWaitingForPort: return "waiting for port " + state.port;
    case RunState::kNoLink: return "no link";
  }
  return "?";
}

void EncodeHello(std::string& out, const EngineHello& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kHello));
  WireWriter w(out);
  w.U16(m.version);
  w.U32(m.pid);
  w.U8(static_cast<uint8_t>(m.mode));
  w.Text(m.interfaceName, kNameMax);
  FinishMessage(out, begin);
}

void EncodeRefused(std::string& out, std::string_view reason) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kRefused));
  WireWriter(out).Raw(reason.substr(0, kReasonMax));
  FinishMessage(out, begin);
}

void EncodeReply(std::string& out, const Reply& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kReply));
  WireWriter w(out);
  w.U32(m.seq);
  w.U8(static_cast<uint8_t>(m.verb));
  w.U8(m.done ? 1 : 0);
  w.Text(m.reason, kReasonMax);
  FinishMessage(out, begin);
}

void AppendTextPiece(std::string& out, LineNote note, std::string_view text) {
  WireWriter w(out);
  w.U8(static_cast<uint8_t>(note));
  w.Text(text, kPieceMax);
}

void EncodeTextBatch(std::string& out, std::string_view pieces) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kText));
  WireWriter(out).Raw(pieces);
  FinishMessage(out, begin);
}

void EncodeError(std::string& out, std::string_view text) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kError));
  WireWriter(out).Raw(text.substr(0, kErrorMax));
  FinishMessage(out, begin);
}

void EncodePanel(std::string& out, const PanelNews& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kPanel));
  WireWriter w(out);
  w.U8(m.whole ? 1 : 0);
  for (int32_t word : m.words) w.I32(word);
  for (const PanelEdit& e : m.edits) {
    w.I32(e.pos);
    w.I32(e.count);
    w.Text(e.text, kEditTextMax);
  }
  FinishMessage(out, begin);
}

void EncodeProgress(std::string& out, const ProgressNews& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kProgress));
  WireWriter w(out);
  w.U8(m.whole ? 1 : 0);
  w.U16(static_cast<uint16_t>(std::min<size_t>(m.gone.size(), 0xFFFF)));
  for (size_t i = 0; i < m.gone.size() && i < 0xFFFF; ++i) w.U32(m.gone[i]);
  for (const ProgressLine& line : m.lines) {
    const ProgressFacts& f = line.facts;
    w.U32(line.id);
    w.I32(f.state);
    w.U32(f.acked);
    w.U32(f.total);
    w.I32(f.percent);
    w.F64(f.bytesPerSecond);
    w.I64(f.elapsedMs);
    w.U32(f.resent);
    w.U8(static_cast<uint8_t>(f.outcome));
    w.U8(static_cast<uint8_t>(f.mark));
    w.I64(line.startWallMs);
    w.I64(line.endWallMs);
    for (double key : f.sortKey) w.F64(key);
    for (const std::string& cell : f.text) w.Text(cell, kCellMax);
  }
  FinishMessage(out, begin);
}

void EncodeState(std::string& out, const StateNews& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kState));
  WireWriter w(out);
  w.U8(static_cast<uint8_t>(m.state));
  w.Text(m.port, kNameMax);
  w.I32(m.total);
  w.I32(m.errorCount);
  w.I32(m.doneCount);
  w.I32(m.reworkingCount);
  w.I32(m.sortKey);
  FinishMessage(out, begin);
}

void EncodePortNews(std::string& out, const PortNewsMsg& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kPortNews));
  WireWriter w(out);
  w.U8(static_cast<uint8_t>(m.news));
  w.Text(m.text, kReasonMax);
  FinishMessage(out, begin);
}

void EncodeUnwritten(std::string& out, std::string_view text) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kUnwritten));
  WireWriter(out).Raw(text.substr(0, kBatchPayload));
  FinishMessage(out, begin);
}

void EncodeImages(std::string& out, const ImageFacts (&images)[kImageCount]) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kImages));
  WireWriter w(out);
  for (const ImageFacts& f : images) {
    w.U8(f.loaded ? 1 : 0);
    w.Text(f.name, kNameMax);
    w.Text(f.path, kPathMax);
    w.U32(f.size);
    w.Text(f.sha256, kDigestMax);
  }
  FinishMessage(out, begin);
}

void EncodeMissed(std::string& out, const Missed& m) {
  const size_t begin = BeginMessage(out, static_cast<uint8_t>(EngineType::kMissed));
  WireWriter w(out);
  w.U64(m.texts);
  w.U64(m.messages);
  w.U32(m.panelResends);
  w.U32(m.progressResends);
  FinishMessage(out, begin);
}

namespace {

bool ReadPanel(WireReader& r, PanelNews* m) {
  const uint8_t flags = r.U8();
  m->whole = flags == 1;
  for (int32_t& word : m->words) word = r.I32();
  if (flags > 1) r.Refuse();
  while (r.ok() && r.Left() > 0) {
    PanelEdit e;
    e.pos = r.I32();
    e.count = r.I32();
    e.text = r.Text(kEditTextMax);
    if (e.pos < 0 || e.count < 0) r.Refuse();
    m->edits.push_back(std::move(e));
  }
  return r.Done();
}

bool ReadProgress(WireReader& r, ProgressNews* m) {
  const uint8_t flags = r.U8();
  m->whole = flags == 1;
  if (flags > 1) r.Refuse();
  const uint16_t gone = r.U16();
  // Each id takes 4 bytes: a count the payload cannot hold is refused
  // before anything is reserved for it.
  if (!r.ok() || gone > r.Left() / 4) return false;
  m->gone.reserve(gone);
  for (uint16_t i = 0; i < gone; ++i) m->gone.push_back(r.U32());
  while (r.ok() && r.Left() > 0) {
    ProgressLine line;
    ProgressFacts& f = line.facts;
    line.id = r.U32();
    f.state = r.I32();
    f.acked = r.U32();
    f.total = r.U32();
    f.percent = r.I32();
    f.bytesPerSecond = r.F64();
    f.elapsedMs = r.I64();
    f.resent = r.U32();
    const uint8_t outcome = r.U8();
    const uint8_t mark = r.U8();
    line.startWallMs = r.I64();
    line.endWallMs = r.I64();
    for (double& key : f.sortKey) key = r.F64();
    for (std::string& cell : f.text) cell = r.Text(kCellMax);
    if (outcome > static_cast<uint8_t>(Outcome::kError) ||
        mark > static_cast<uint8_t>(ProgressMark::kFailed)) {
      r.Refuse();
    }
    f.outcome = static_cast<Outcome>(outcome);
    f.mark = static_cast<ProgressMark>(mark);
    m->lines.push_back(std::move(line));
  }
  return r.Done();
}

}  // namespace

bool DecodeEngine(uint8_t type, std::string_view payload, EngineMessage* m) {
  if (type == 0 || type > kEngineTypeLast) return false;
  m->type = static_cast<EngineType>(type);
  WireReader r(payload);
  switch (m->type) {
    case EngineType::kHello: {
      m->hello.version = r.U16();
      m->hello.pid = r.U32();
      const uint8_t mode = r.U8();
      m->hello.mode = static_cast<EngineMode>(mode);
      m->hello.interfaceName = r.Text(kNameMax);
      if (mode != static_cast<uint8_t>(EngineMode::kOwn) &&
          mode != static_cast<uint8_t>(EngineMode::kService)) {
        r.Refuse();
      }
      return r.Done();
    }
    case EngineType::kRefused:
      m->text = r.Rest(kReasonMax);
      return r.Done();
    case EngineType::kReply: {
      m->reply.seq = r.U32();
      const uint8_t verb = r.U8();
      const uint8_t done = r.U8();
      m->reply.verb = static_cast<FrontType>(verb);
      m->reply.done = done == 1;
      m->reply.reason = r.Text(kReasonMax);
      if (verb == 0 || verb > kFrontTypeLast || done > 1) r.Refuse();
      return r.Done();
    }
    case EngineType::kText:
      m->pieces.clear();
      if (r.Left() == 0) return false;
      while (r.ok() && r.Left() > 0) {
        TextPiece piece;
        const uint8_t note = r.U8();
        piece.note = static_cast<LineNote>(note);
        piece.text = r.Text(kPieceMax);
        if (note > static_cast<uint8_t>(LineNote::kOutcomeError)) r.Refuse();
        m->pieces.push_back(std::move(piece));
      }
      return r.Done();
    case EngineType::kError:
      m->text = r.Rest(kErrorMax);
      return r.Done();
    case EngineType::kPanel:
      m->panel = PanelNews{};
      return ReadPanel(r, &m->panel);
    case EngineType::kProgress:
      m->progress = ProgressNews{};
      return ReadProgress(r, &m->progress);
    case EngineType::kState: {
      const uint8_t state = r.U8();
      m->state.state = static_cast<RunState>(state);
      m->state.port = r.Text(kNameMax);
      m->state.total = r.I32();
      m->state.errorCount = r.I32();
      m->state.doneCount = r.I32();
      m->state.reworkingCount = r.I32();
      m->state.sortKey = r.I32();
      if (state > static_cast<uint8_t>(RunState::kNoLink)) r.Refuse();
      return r.Done();
    }
    case EngineType::kPortNews: {
      const uint8_t news = r.U8();
      m->portNews.news = static_cast<PortNews>(news);
      m->portNews.text = r.Text(kReasonMax);
      if (news > static_cast<uint8_t>(PortNews::kLinkBack)) r.Refuse();
      return r.Done();
    }
    case EngineType::kUnwritten:
      m->text = r.Rest(kBatchPayload);
      return r.Done();
    case EngineType::kImages:
      for (ImageFacts& f : m->images) {
        const uint8_t loaded = r.U8();
        f.loaded = loaded == 1;
        f.name = r.Text(kNameMax);
        f.path = r.Text(kPathMax);
        f.size = r.U32();
        f.sha256 = r.Text(kDigestMax);
        if (loaded > 1) r.Refuse();
      }
      return r.Done();
    case EngineType::kMissed:
      m->missed.texts = r.U64();
      m->missed.messages = r.U64();
      m->missed.panelResends = r.U32();
      m->missed.progressResends = r.U32();
      return r.Done();
  }
  return false;
}

void EncodeEngine(std::string& out, const EngineMessage& m) {
  switch (m.type) {
    case EngineType::kHello: return EncodeHello(out, m.hello);
    case EngineType::kRefused: return EncodeRefused(out, m.text);
    case EngineType::kReply: return EncodeReply(out, m.reply);
    case EngineType::kText: {
      std::string pieces;
      for (const TextPiece& p : m.pieces) AppendTextPiece(pieces, p.note, p.text);
      return EncodeTextBatch(out, pieces);
    }
    case EngineType::kError: return EncodeError(out, m.text);
    case EngineType::kPanel: return EncodePanel(out, m.panel);
    case EngineType::kProgress: return EncodeProgress(out, m.progress);
    case EngineType::kState: return EncodeState(out, m.state);
    case EngineType::kPortNews: return EncodePortNews(out, m.portNews);
    case EngineType::kUnwritten: return EncodeUnwritten(out, m.text);
    case EngineType::kImages: return EncodeImages(out, m.images);
    case EngineType::kMissed: return EncodeMissed(out, m.missed);
  }
}

bool HelloVersion(std::string_view payload, uint16_t* version) {
  WireReader r(payload);
  *version = r.U16();
  return r.ok();
}

}  // namespace remote
