// DebugPrint and ErrorBox: format into 512 bytes, hand to the sinks.
#include "report/debug_print.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kTextSize = 512;

// vsnprintf never writes past the buffer; the return value is the length
// the text would have had, so cut it to what was stored.
size_t FormatInto(char (&text)[kTextSize], const char* format, va_list args) {
  int n = vsnprintf(text, kTextSize, format, args);
  if (n < 0) {
    text[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < kTextSize ? static_cast<size_t>(n)
                                            : kTextSize - 1;
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

void SetErrorSink(ErrorSink* sink) {
  gErrorSink.store(sink ? sink : &gDefaultErrorSink, std::memory_order_release);
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
