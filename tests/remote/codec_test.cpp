// The front-end protocol's codec at its bounds, against bytes written out
// by hand from the message layout: a length beyond the receiver's bound is
// refused before its payload, a message cut short or one byte too long is
// refused, a value out of its range is refused, and a message that comes
// in pieces is whole only with its last byte.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "remote/engine_client.h"
#include "remote/frame.h"
#include "remote/messages.h"

namespace {

using remote::FrameReader;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// The payload of the one message in `wire` (length, type, payload).
bool DecodeOne(const std::string& wire, remote::FrontMessage* m) {
  FrameReader reader(remote::kFrontMessageMax);
  reader.Feed(wire.data(), wire.size());
  remote::Message msg;
  if (reader.Next(&msg) != FrameReader::Result::kMessage) return false;
  return remote::DecodeFront(msg.type, msg.payload, m);
}

TEST(RemoteCodec, ALengthBeyondTheBoundIsRefusedBeforeItsPayload) {
  FrameReader reader(remote::kFrontMessageMax);
  // 8193 bytes announced: one more than a front end may send.
  const std::string header = Bytes({0x00, 0x00, 0x20, 0x01, 0x06});
  reader.Feed(header.data(), header.size());
  EXPECT_EQ(reader.Room(), 0u) << "it would read the payload";
  remote::Message m;
  EXPECT_EQ(reader.Next(&m), FrameReader::Result::kBad);
  EXPECT_NE(reader.error().find("8193 bytes"), std::string::npos) << reader.error();

  FrameReader empty(remote::kFrontMessageMax);
  const std::string none = Bytes({0x00, 0x00, 0x00, 0x00});
  empty.Feed(none.data(), none.size());
  EXPECT_EQ(empty.Next(&m), FrameReader::Result::kBad);
}

TEST(RemoteCodec, AMessageInPiecesIsWholeOnlyWithItsLastByte) {
  // Clear, sequence number 7.
  const std::string clear = Bytes({0x00, 0x00, 0x00, 0x05, 0x06, 0x00, 0x00, 0x00, 0x07});
  FrameReader reader(remote::kFrontMessageMax);
  remote::Message m;
  for (size_t i = 0; i + 1 < clear.size(); ++i) {
    reader.Feed(&clear[i], 1);
    ASSERT_EQ(reader.Next(&m), FrameReader::Result::kNeedMore) << "after byte " << i;
  }
  reader.Feed(&clear.back(), 1);
  ASSERT_EQ(reader.Next(&m), FrameReader::Result::kMessage);
  remote::FrontMessage f;
  ASSERT_TRUE(remote::DecodeFront(m.type, m.payload, &f));
  EXPECT_EQ(f.type, remote::FrontType::kClear);
  EXPECT_EQ(f.seq, 7u);
}

TEST(RemoteCodec, PayloadsCutShortTooLongOrOutOfRangeAreRefused) {
  remote::FrontMessage m;
  struct Case {
    const char* what;
    std::string wire;
    bool valid;
  };
  // Start, sequence number 1, with nothing but a firmware path of `n` bytes.
  const auto start = [](size_t n) {
    std::string wire = Bytes({0, 0, 0, 0, 0x03, 0, 0, 0, 1,
                              0, 0,  // no interface
                              0,     // no region
                              static_cast<int>(n >> 8), static_cast<int>(n & 0xFF)});
    wire += std::string(n, 'a');
    for (int k = 0; k < 6; ++k) wire += Bytes({0, 0});  // no string tables
    wire += Bytes({0, 0, 0, 0,  // no ceiling
                   0, 0, 0,     // no log file
                   0, 0});      // no record
    const size_t len = wire.size() - 4;
    wire[2] = static_cast<char>(len >> 8);
    wire[3] = static_cast<char>(len & 0xFF);
    return wire;
  };
  const Case cases[] = {
      {"clear", Bytes({0, 0, 0, 5, 0x06, 0, 0, 0, 1}), true},
      {"clear cut short", Bytes({0, 0, 0, 4, 0x06, 0, 0, 0}), false},
      {"clear with a byte more", Bytes({0, 0, 0, 6, 0x06, 0, 0, 0, 1, 0}), false},
      {"sort MAC(up)", Bytes({0, 0, 0, 7, 0x07, 0, 0, 0, 1, 0x03, 0xFD}), true},
      {"sort by an id no button has", Bytes({0, 0, 0, 7, 0x07, 0, 0, 0, 1, 0x03, 0xFF}), false},
      {"want everything", Bytes({0, 0, 0, 6, 0x02, 0, 0, 0, 1, 0x07}), true},
      {"want an unknown bit", Bytes({0, 0, 0, 6, 0x02, 0, 0, 0, 1, 0x08}), false},
      {"banner login", Bytes({0, 0, 0, 6, 0x0A, 0, 0, 0, 1, 0x01}), true},
      {"banner of the rework start", Bytes({0, 0, 0, 6, 0x0A, 0, 0, 0, 1, 0x00}), false},
      {"record path with a zero byte",
       Bytes({0, 0, 0, 8, 0x0B, 0, 0, 0, 1, 0, 2, 'a', 0}), false},
      {"a text longer than what is left",
       Bytes({0, 0, 0, 8, 0x0B, 0, 0, 0, 1, 0, 3, 'a', 'b'}), false},
      {"a type beyond the last", Bytes({0, 0, 0, 5, 0x0E, 0, 0, 0, 1}), false},
      {"start with the longest path the settings keep", start(260), true},
      {"start with a path one byte longer", start(261), false},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeOne(c.wire, &m), c.valid) << c.what;
}

TEST(RemoteCodec, TheHelloCarriesItsVersionFirstWhateverFollows) {
  uint16_t version = 0;
  // A later version's hello may carry more; its version still reads.
  EXPECT_TRUE(remote::HelloVersion(Bytes({0x00, 0x02, 0x55, 0x66}), &version));
  EXPECT_EQ(version, 2);
  EXPECT_FALSE(remote::HelloVersion(Bytes({0x00}), &version));
  remote::FrontMessage m;
  EXPECT_TRUE(DecodeOne(Bytes({0, 0, 0, 3, 0x01, 0x00, 0x01}), &m));
  EXPECT_EQ(m.version, 1);
}

// A note of several lines (an error text at a session's end) would be
// refused, and the connection with it: the client sends it as one line.
TEST(RemoteCodec, ALogNoteOfSeveralLinesGoesAsOneLineTheEngineTakes) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  auto client = remote::EngineClient::Adopt(pair[0]);
  client->LogNote("Fail to save\r\nthe settings");
  client->Send();
  char wire[256];
  const ssize_t n = read(pair[1], wire, sizeof wire);
  close(pair[1]);
  // The client's hello, then the note: length 33, type 13, sequence 1.
  ASSERT_EQ(n, 7 + 4 + 1 + 4 + 2 + 26);
  const std::string note(wire + 7, static_cast<size_t>(n) - 7);
  EXPECT_EQ(note.substr(0, 11), Bytes({0, 0, 0, 33, 0x0D, 0, 0, 0, 1, 0, 26}));
  remote::FrontMessage m;
  ASSERT_TRUE(DecodeOne(note, &m));
  EXPECT_EQ(m.path, "Fail to save  the settings");
}

}  // namespace
