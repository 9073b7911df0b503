// DebugPrint and ErrorBox at the edge of their 512-byte buffer: text that
// fits goes out whole, longer text is cut to 511 bytes and keeps the line
// end it was formatted with, wherever in the format that end came from.
#include "report/debug_print.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Recorder : public LogSink, public ErrorSink {
 public:
  void Append(const char* text, size_t len) override { lines.emplace_back(text, len); }
  void Show(const char* text) override { boxes.emplace_back(text); }
  std::vector<std::string> lines;
  std::vector<std::string> boxes;
};

// `total` bytes: a device's text of printable bytes that never repeat in
// step with the buffer, then `end`.
std::string Text(size_t total, const std::string& end) {
  std::string t;
  for (size_t i = 0; t.size() + end.size() < total; ++i) t += static_cast<char>('!' + i % 89);
  return t + end;
}

struct Case {
  size_t total;     // length of the whole formatted text
  std::string end;  // how it ends
  size_t keptText;  // bytes of text before the line end in the result
};

// 511 bytes fit the buffer with its terminator; from 512 on, the line end
// takes the last bytes of the 511 and the text gives way.
const Case kCases[] = {
    {510, "\r\n", 508},  {511, "\r\n", 509},  {512, "\r\n", 509},  {2000, "\r\n", 509},
    {510, "", 510},      {511, "", 511},      {512, "", 511},      {2000, "", 511},
    {2000, "\n", 510},   {2000, "\r\n\r\n", 507},
};

std::string Expected(const Case& k) { return Text(k.total, k.end).substr(0, k.keptText) + k.end; }

TEST(DebugPrintCut, KeepsTheLineEndWhenTheEndComesFromTheArgument) {
  for (const Case& k : kCases) {
    Recorder r;
    DebugPrint(&r, "%s", Text(k.total, k.end).c_str());
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0], Expected(k)) << k.total << " bytes ending in " << k.end.size();
  }
}

TEST(DebugPrintCut, KeepsTheLineEndWhenTheEndComesFromTheFormat) {
  // As the TFTP ERROR line is built: a device's text between fixed parts.
  for (const Case& k : kCases) {
    if (k.end != "\r\n") continue;
    const std::string whole = Text(k.total, k.end);
    const std::string device = whole.substr(5, whole.size() - 7);
    Recorder r;
    DebugPrint(&r, "%.5s%s\r\n", whole.c_str(), device.c_str());
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0], Expected(k)) << k.total;
  }
}

TEST(DebugPrintCut, InventsNoLineEndAndKeepsNoneFromTheMiddle) {
  // A line end inside the text is not the end of the text.
  std::string text = "device says\r\n" + std::string(2000, 'x');
  Recorder r;
  DebugPrint(&r, "%s", text.c_str());
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0], text.substr(0, 511));

  // Nothing but line ends: 511 of them.
  DebugPrint(&r, "%s", std::string(1000, '\n').c_str());
  EXPECT_EQ(r.lines[1], std::string(511, '\n'));
}

TEST(ErrorBoxCut, CutsLikeDebugPrint) {
  for (const Case& k : kCases) {
    Recorder r;
    SetErrorSink(&r);
    EXPECT_EQ(ErrorBox("%s", Text(k.total, k.end).c_str()), 0);
    SetErrorSink(nullptr);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], Expected(k)) << k.total << " bytes ending in " << k.end.size();
  }
}

}  // namespace
