// Messages in and out of a byte stream: headers written around a payload,
// and a bounded reader that refuses a length before it reads the payload.
#include "remote/frame.h"

#include "remote/wire.h"

namespace remote {

size_t BeginMessage(std::string& out, uint8_t type) {
  const size_t begin = out.size();
  out.append(4, '\0');
  out.push_back(static_cast<char>(type));
  return begin;
}

void FinishMessage(std::string& out, size_t begin) {
  const uint32_t len = static_cast<uint32_t>(out.size() - begin - 4);
  for (int i = 0; i < 4; ++i) out[begin + i] = static_cast<char>(len >> (8 * (3 - i)) & 0xFF);
}

size_t FrameReader::Room() const {
  const size_t held = buf_.size() - head_;
  if (held < kHeaderSize) return kHeaderSize + max_ - held;
  // A whole message waits: Next takes it before anything more comes in.
  const size_t len = static_cast<uint8_t>(buf_[head_]) << 24 |
                     static_cast<uint8_t>(buf_[head_ + 1]) << 16 |
                     static_cast<uint8_t>(buf_[head_ + 2]) << 8 |
                     static_cast<uint8_t>(buf_[head_ + 3]);
  const size_t whole = 4 + len;
  if (len == 0 || len > max_) return 0;
  return held >= whole ? 0 : kHeaderSize + max_ - held;
}

void FrameReader::Feed(const char* bytes, size_t n) {
  if (head_ > 0) {
    buf_.erase(0, head_);
    head_ = 0;
  }
  buf_.append(bytes, n);
}

FrameReader::Result FrameReader::Next(Message* message) {
  if (!error_.empty()) return Result::kBad;
  const size_t held = buf_.size() - head_;
  if (held < 4) return Result::kNeedMore;
  WireReader header(reinterpret_cast<const uint8_t*>(buf_.data() + head_), 4);
  const uint32_t len = header.U32();
  if (len == 0) {
    error_ = "a message without a type";
    return Result::kBad;
  }
  if (len > max_) {
    error_ = "a message of " + std::to_string(len) + " bytes, more than the " +
             std::to_string(max_) + " this end takes";
    return Result::kBad;
  }
  if (len > held - 4) return Result::kNeedMore;
  message->type = static_cast<uint8_t>(buf_[head_ + 4]);
  message->payload = std::string_view(buf_.data() + head_ + kHeaderSize, len - 1);
  head_ += 4 + len;
  return Result::kMessage;
}

}  // namespace remote
