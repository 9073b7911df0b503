// The two ways the core talks to the operator: DebugPrint lines for the
// Debug Window and ErrorBox messages. Front ends install the sinks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

/// What a device's line says beyond its words, for readers that file lines
/// by priority and outcome (the journal). The code that prints the line
/// gives it from the device's flags and the outcome rule; it is never read
/// back from the text.
enum class LineNote : uint8_t {
  kNone,
  kTrouble,       ///< a transfer of the device failed
  kOutcomeDone,   ///< the line tells the device's final outcome: Done
  kOutcomeError,  ///< the line tells the device's final outcome: Error
};

/// Receives Debug Window text. Implementations must never block the caller
/// on the GUI thread: worker threads write here while the GUI thread may be
/// waiting for them.
class LogSink {
 public:
  virtual ~LogSink() = default;
  /// Appends `len` bytes of text (already formatted, at most 511 bytes).
  virtual void Append(const char* text, size_t len) = 0;
  /// The same with the line's note; a sink that files no notes shows the
  /// text alone.
  virtual void AppendNoted(const char* text, size_t len, LineNote note) {
    (void)note;
    Append(text, len);
  }
};

/// The place that holds the Debug Window's log control: empty while no
/// Debug Window is open. Writers read it anew at every call. A sink put in
/// the slot must outlive every thread that may have read it.
using LogSlot = std::atomic<LogSink*>;

/// Reads the slot once; nullptr when the slot itself is absent or empty.
inline LogSink* LogControl(const LogSlot* slot) {
  return slot ? slot->load(std::memory_order_acquire) : nullptr;
}

/// Bytes of the buffer DebugPrint and ErrorBox format into; a line holds
/// one less.
constexpr size_t kDebugTextSize = 512;

/// Formats into a 512-byte buffer and appends it to `logCtl`; does nothing
/// when `logCtl` is nullptr. Longer text is cut to 511 bytes that still end
/// with the CR and LF bytes the whole text ended with.
void DebugPrint(LogSink* logCtl, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// DebugPrint of a device's line with what it says beyond its words.
void DebugPrintNoted(LogSink* logCtl, LineNote note, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/// Shows an error message to the operator. `Show` returns when the operator
/// has dismissed it (a window) or at once (a terminal).
class ErrorSink {
 public:
  virtual ~ErrorSink() = default;
  virtual void Show(const char* text) = 0;
};

/// Installs the process's error sink; nullptr restores the default, which
/// writes the message and a line feed to standard error. Returns the sink
/// it replaced (the default as nullptr).
ErrorSink* SetErrorSink(ErrorSink* sink);

/// Formats into a 512-byte buffer (cut as DebugPrint cuts) and shows it
/// through the installed error sink. Returns 0.
int ErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));
