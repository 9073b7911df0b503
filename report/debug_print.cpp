// DebugPrint and ErrorBox: format into 512 bytes, hand to the sinks.
#include "report/debug_print.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kTextSize = kDebugTextSize;

// Length of the run of CR and LF bytes that ends `text`.
size_t LineEndLength(const char* text, size_t len) {
  size_t n = 0;
  while (n < len && (text[len - 1 - n] == '\r' || text[len - 1 - n] == '\n')) ++n;
  return n;
}

// vsnprintf never writes past the buffer; the return value is the length
// the text would have had. A text that does not fit is cut, but keeps the
// line end it was formatted with: the end of a line usually follows text
// that came from a device, and a cut that took the CR LF along would glue
// the next line, from whichever thread, onto the device's text.
size_t FormatInto(char (&text)[kTextSize], const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = vsnprintf(text, kTextSize, format, args);
  if (n < 0) {
    va_end(again);
    text[0] = '\0';
    return 0;
  }
  const size_t full = static_cast<size_t>(n);
  if (full < kTextSize) {
    va_end(again);
    return full;
  }

  // Only the end of the whole text tells how it ends; it is formatted once
  // more, which only a text too long for a line ever costs. Should memory
  // be short, the format's own end stands in: every caller ends its lines
  // in the format.
  const char* whole = format;
  size_t wholeLen = std::strlen(format);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[full + 1]);
  if (copy && vsnprintf(copy.get(), full + 1, format, again) == n) {
    whole = copy.get();
    wholeLen = full;
  }
  va_end(again);

  const size_t kept = kTextSize - 1;
  const size_t end = std::min(LineEndLength(whole, wholeLen), kept);
  std::memcpy(text + kept - end, whole + wholeLen - end, end);
  text[kept] = '\0';
  return kept;
}

class StderrErrorSink : public ErrorSink {
 public:
  void Show(const char* text) override {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
  }
};

StderrErrorSink gDefaultErrorSink;
std::atomic<ErrorSink*> gErrorSink{&gDefaultErrorSink};

}  // namespace

void DebugPrint(LogSink* logCtl, const char* format, ...) {
  if (logCtl == nullptr) return;
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  size_t n = FormatInto(text, format, args);
  va_end(args);
  logCtl->Append(text, n);
}

void DebugPrintNoted(LogSink* logCtl, LineNote note, const char* format, ...) {
  if (logCtl == nullptr) return;
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  size_t n = FormatInto(text, format, args);
  va_end(args);
  logCtl->AppendNoted(text, n, note);
}

ErrorSink* SetErrorSink(ErrorSink* sink) {
  ErrorSink* before =
      gErrorSink.exchange(sink ? sink : &gDefaultErrorSink, std::memory_order_acq_rel);
  return before == &gDefaultErrorSink ? nullptr : before;
}

int ErrorBox(const char* format, ...) {
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  FormatInto(text, format, args);
  va_end(args);
  gErrorSink.load(std::memory_order_acquire)->Show(text);
  return 0;
}
