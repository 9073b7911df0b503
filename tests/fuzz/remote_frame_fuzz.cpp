// Fuzz target: the front-end protocol's framing and decoders, both ways.
// The input is a byte stream, cut into reads of varying size (first byte);
// every message the reader lets through is decoded as a front end's and as
// an engine's, and whatever decodes must encode back to the very bytes it
// came from (the decoders take nothing they would not write).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "remote/frame.h"
#include "remote/messages.h"

namespace {

std::string Framed(const remote::Message& m) {
  std::string wire;
  const size_t begin = remote::BeginMessage(wire, m.type);
  wire.append(m.payload);
  remote::FinishMessage(wire, begin);
  return wire;
}

void Check(const remote::Message& m) {
  remote::FrontMessage front;
  if (remote::DecodeFront(m.type, m.payload, &front)) {
    std::string again;
    remote::EncodeFront(again, front);
    FUZZ_CHECK(again == Framed(m));
  }
  remote::EngineMessage engine;
  if (remote::DecodeEngine(m.type, m.payload, &engine)) {
    std::string again;
    remote::EncodeEngine(again, engine);
    FUZZ_CHECK(again == Framed(m));
  }
}

void Stream(const uint8_t* data, size_t size, size_t max, size_t step) {
  remote::FrameReader reader(max);
  size_t at = 0;
  for (;;) {
    remote::Message m;
    remote::FrameReader::Result r;
    while ((r = reader.Next(&m)) == remote::FrameReader::Result::kMessage) {
      FUZZ_CHECK(m.payload.size() + 1 <= max);
      Check(m);
    }
    if (r == remote::FrameReader::Result::kBad || at == size) return;
    const size_t room = reader.Room();
    FUZZ_CHECK(room > 0);
    const size_t n = std::min({room, step, size - at});
    reader.Feed(reinterpret_cast<const char*>(data + at), n);
    at += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = 1 + data[0] % 64;
  Stream(data + 1, size - 1, remote::kFrontMessageMax, step);
  Stream(data + 1, size - 1, remote::kEngineMessageMax, step * 37);
  return 0;
}
