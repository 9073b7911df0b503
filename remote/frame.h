// The framing of the engine's socket protocol: every message is a length,
// a type and a payload, and each end takes messages only up to its bound.
//
//    0       1       2       3       4       5 ...
//   +-------+-------+-------+-------+-------+--------------------------+
//   |   length (big-endian, 32 bits)  | type  | payload (length - 1)     |
//   +-------+-------+-------+-------+-------+--------------------------+
//
// The length counts the type and the payload, so it is at least 1. A
// length beyond the receiving end's bound ends the connection before a
// byte of the payload is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace remote {

/// The protocol's version, exchanged first in both directions; the two
/// ends speak only the same one. The header above, the hello of either
/// side (type 1, a 16-bit version first) and the engine's refusal (type 2,
/// a reason) keep their form in every version, so that a mismatch can
/// always be told in words.
constexpr uint16_t kProtocolVersion = 1;

constexpr size_t kHeaderSize = 5;
/// The longest message (type and payload) a front end may send: the
/// largest verb, a start with nine paths, takes under 3 KiB.
constexpr size_t kFrontMessageMax = 8 * 1024;
/// The longest message an engine sends: texts, panel text and progress
/// rows are cut into messages of at most this.
constexpr size_t kEngineMessageMax = 128 * 1024;
/// What an engine puts in one message of a batch before it starts the
/// next, well under kEngineMessageMax.
constexpr size_t kBatchPayload = 64 * 1024;

/// Appends the header of a message whose payload follows; FinishMessage
/// sets its length once the payload has been appended.
size_t BeginMessage(std::string& out, uint8_t type);
void FinishMessage(std::string& out, size_t begin);

/// One message cut from the stream; the payload points into the reader's
/// buffer until its next Feed.
struct Message {
  uint8_t type = 0;
  std::string_view payload;
};

/// Cuts the byte stream of one connection into messages, holding at most
/// one message's bytes beyond what has been taken.
class FrameReader {
 public:
  explicit FrameReader(size_t maxMessage) : max_(maxMessage) {}

  enum class Result {
    kMessage,   ///< `*message` holds the next one
    kNeedMore,  ///< feed more bytes
    kBad,       ///< the stream is broken for good; see error()
  };

  /// How many bytes the reader takes now (0 while a message waits to be
  /// taken with Next): feed at most that much.
  size_t Room() const;
  /// Appends bytes read from the socket (at most Room()).
  void Feed(const char* bytes, size_t n);
  Result Next(Message* message);
  const std::string& error() const { return error_; }

 private:
  size_t max_;
  std::string buf_;
  size_t head_ = 0;  // where the next message starts in buf_
  std::string error_;
};

}  // namespace remote
