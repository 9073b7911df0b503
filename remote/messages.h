// The messages of the engine's socket protocol, version 1: what a front end
// may ask of an engine (few, bounded and harmless verbs) and what an engine
// tells its front ends. Each has an encoder that appends the whole framed
// message and a strict decoder of its payload: a field out of its range,
// a byte too few or one too many refuses the message.
//
// The rule for types: a type the receiver does not know is refused, and
// the connection ends with the reason. Both ends speak the same version
// (the hellos say which), so an unknown type can only come from a broken
// or foreign peer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "console/progress_facts.h"
#include "console/run_supervisor.h"
#include "remote/frame.h"
#include "report/debug_print.h"
#include "report/image_facts.h"
#include "transfer/upload_images.h"

namespace remote {

// --- front end -> engine -----------------------------------------------------

enum class FrontType : uint8_t {
  kHello = 1,        ///< u16 version; first, and only once
  kWant = 2,         ///< which news the front end takes (WantFlag bits)
  kStart = 3,        ///< an own engine: start a run with what the window holds
  kStartStored = 4,  ///< a bench service: start from its settings (supervisor)
  kStop = 5,         ///< stop the run (a bench service: supervisor)
  kClear = 6,        ///< the window's Clear
  kSort = 7,         ///< a sort button: 1021, 1020 or 1022
  kRetryFailed = 8,  ///< the window's Retry Failed
  kLogFile = 9,      ///< an own engine: open (replacing) or close the log file
  kBanner = 10,      ///< a supervisor login (1) or logout (2) banner
  kRecordFile = 11,  ///< an own engine: the device record's path for the run
  kReload = 12,      ///< a bench service: what SIGHUP does (supervisor)
  kLogNote = 13,     ///< an own engine: a line of what the operator did, into the log file
};
constexpr uint8_t kFrontTypeLast = 13;

/// Bits of Want.
enum WantFlag : uint8_t {
  kWantText = 1,      ///< Debug Window text
  kWantPanel = 2,     ///< the Device Status panel
  kWantProgress = 4,  ///< Transfer Progress rows
};
constexpr uint8_t kWantAll = kWantText | kWantPanel | kWantProgress;

/// The longest path a verb may carry: the settings store's limit.
constexpr size_t kPathMax = 260;
/// The longest interface name, supervisor password or short text field.
constexpr size_t kNameMax = 64;
/// The longest note for the log file: a Debug Window line.
constexpr size_t kNoteMax = 511;

/// What a window's Start holds.
struct StartOrder {
  std::string interfaceName;  ///< empty: none chosen
  uint8_t regionCode = 0;     ///< 0 or a code of RegionTable
  std::string firmwarePath;
  std::string stringTablePaths[6];  ///< table 1 first
  uint32_t maxClients = 0;          ///< 0: no ceiling
  bool logEnabled = false;
  std::string logPath;
  std::string recordPath;  ///< empty: no record

  bool operator==(const StartOrder&) const = default;
};

/// One message of a front end. Every verb but the hello carries a sequence
/// number of the front end's choosing, which the engine's reply repeats.
struct FrontMessage {
  FrontType type = FrontType::kHello;
  uint16_t version = 0;  ///< kHello
  uint32_t seq = 0;
  uint8_t want = 0;          ///< kWant
  uint16_t sortKey = 0;      ///< kSort
  uint8_t banner = 0;        ///< kBanner: 1 login, 2 logout
  bool enabled = false;      ///< kLogFile
  std::string path;          ///< kLogFile, kRecordFile; kLogNote: the line
  std::string password;      ///< kStartStored, kStop, kReload
  StartOrder start;          ///< kStart

  bool operator==(const FrontMessage&) const = default;
};

/// Appends `m` as a whole message.
void EncodeFront(std::string& out, const FrontMessage& m);
/// False when the payload is not a valid message of `type`.
bool DecodeFront(uint8_t type, std::string_view payload, FrontMessage* m);
/// The verb's name in replies and messages ("clear", "retry-failed").
const char* FrontTypeName(FrontType type);

// --- engine -> front end -----------------------------------------------------

enum class EngineType : uint8_t {
  kHello = 1,
  kRefused = 2,
  kReply = 3,
  kText = 4,
  kError = 5,
  kPanel = 6,
  kProgress = 7,
  kState = 8,
  kPortNews = 9,
  kUnwritten = 10,
  kImages = 11,
  kMissed = 12,
};
constexpr uint8_t kEngineTypeLast = 12;

enum class EngineMode : uint8_t {
  kOwn = 1,      ///< started by one window for itself; ends with it
  kService = 2,  ///< a bench's headless engine; front ends come and go
};

struct EngineHello {
  uint16_t version = kProtocolVersion;
  uint32_t pid = 0;
  EngineMode mode = EngineMode::kOwn;
  std::string interfaceName;  ///< the port it serves or waits for; may be empty

  bool operator==(const EngineHello&) const = default;
};

/// The reply to one verb, after it has been carried out or refused.
struct Reply {
  uint32_t seq = 0;
  FrontType verb = FrontType::kHello;
  bool done = false;
  std::string reason;  ///< why it was refused, in plain words

  bool operator==(const Reply&) const = default;
};

/// One DebugPrint text with its note.
struct TextPiece {
  LineNote note = LineNote::kNone;
  std::string text;  ///< at most 511 bytes

  bool operator==(const TextPiece&) const = default;
};

/// One edit of the panel text, as StatusEditListener sees it.
struct PanelEdit {
  int32_t pos = 0;
  int32_t count = 0;
  std::string text;

  bool operator==(const PanelEdit&) const = default;
};

/// Edits of the Device Status panel. `whole`: the receiver empties its
/// text before applying them (the whole text follows, in one or more
/// messages, as edits that append).
struct PanelNews {
  bool whole = false;
  int32_t words[11] = {};  ///< PanelState, read with the edits
  std::vector<PanelEdit> edits;

  bool operator==(const PanelNews&) const = default;
};

/// One row of the Transfer Progress window.
struct ProgressLine {
  uint32_t id = 0;  ///< the engine's name of the client, stable for its life
  ProgressFacts facts;
  int64_t startWallMs = 0;  ///< ms since 1970 (UTC) when the device came
  int64_t endWallMs = 0;    ///< when it closed; 0 before

  bool operator==(const ProgressLine&) const = default;
};

/// Rows that changed, and the ids of rows that left the run. `whole`: the
/// receiver forgets its rows first (every row follows, in one or more
/// messages).
struct ProgressNews {
  bool whole = false;
  std::vector<uint32_t> gone;
  std::vector<ProgressLine> lines;

  bool operator==(const ProgressNews&) const = default;
};

enum class RunState : uint8_t {
  kStopped = 0,
  kRunning = 1,
  kStopping = 2,
  kWaitingForPort = 3,  ///< `port` names the port awaited
  kNoLink = 4,          ///< running, but the port has no carrier (cable out)
};

/// The run's state and the panel's counts.
struct StateNews {
  RunState state = RunState::kStopped;
  std::string port;  ///< the port served, or awaited; empty before any
  int32_t total = 0, errorCount = 0, doneCount = 0, reworkingCount = 0;
  int32_t sortKey = 0;

  bool operator==(const StateNews&) const = default;
};
/// "running", "waiting for port veth0", ...
std::string RunStateText(const StateNews& state);

struct PortNewsMsg {
  PortNews news = PortNews::kWaiting;
  std::string text;  ///< RunFront::Tell's sentence

  bool operator==(const PortNewsMsg&) const = default;
};

/// What a front end missed, counted since it attached.
struct Missed {
  uint64_t texts = 0;          ///< Debug Window texts dropped
  uint64_t messages = 0;       ///< errors, news and replies dropped
  uint32_t panelResends = 0;   ///< times the panel was sent whole after a drop
  uint32_t progressResends = 0;

  bool operator==(const Missed&) const = default;
};

void EncodeHello(std::string& out, const EngineHello& m);
void EncodeRefused(std::string& out, std::string_view reason);
void EncodeReply(std::string& out, const Reply& m);
/// Text pieces already in their wire form (see AppendTextPiece).
void EncodeTextBatch(std::string& out, std::string_view pieces);
/// One piece's wire form: note, length, bytes (cut to 511 bytes).
void AppendTextPiece(std::string& out, LineNote note, std::string_view text);
void EncodeError(std::string& out, std::string_view text);
void EncodePanel(std::string& out, const PanelNews& m);
void EncodeProgress(std::string& out, const ProgressNews& m);
void EncodeState(std::string& out, const StateNews& m);
void EncodePortNews(std::string& out, const PortNewsMsg& m);
void EncodeUnwritten(std::string& out, std::string_view text);
void EncodeImages(std::string& out, const ImageFacts (&images)[kImageCount]);
void EncodeMissed(std::string& out, const Missed& m);

/// One message of an engine, decoded; `type` tells which field holds it.
struct EngineMessage {
  EngineType type = EngineType::kHello;
  EngineHello hello;
  std::string text;  ///< kRefused, kError, kUnwritten
  Reply reply;
  std::vector<TextPiece> pieces;
  PanelNews panel;
  ProgressNews progress;
  StateNews state;
  PortNewsMsg portNews;
  ImageFacts images[kImageCount];
  Missed missed;
};

/// False when the payload is not a valid message of `type`.
bool DecodeEngine(uint8_t type, std::string_view payload, EngineMessage* m);
/// Appends `m` as a whole message (the inverse of DecodeEngine).
void EncodeEngine(std::string& out, const EngineMessage& m);

/// The version a hello payload of either side begins with; false when it
/// is too short to carry one.
bool HelloVersion(std::string_view payload, uint16_t* version);

}  // namespace remote
