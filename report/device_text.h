// Text that a device sent, made safe to print in a line of ours.
#pragma once

#include <cstddef>

/// Copies `len` bytes of device text into `out` (`outSize` bytes, always
/// zero-terminated; `outSize` at least 1), writing every control character
/// as an escape ("\r", "\n", "\t", "\xNN"; a C1 control as "\xNN" when it
/// is a lone byte, "\u00NN" when it is UTF-8) and the backslash as "\\", so
/// that no device can end our line, start a line of its own or drive a
/// terminal, and every escape reads back one way; other text stays as it
/// is. A zero byte ends the text. A text that does not fit is cut between
/// whole characters and escapes and ends with "…" (when `outSize` has
/// room for it). Returns the length written.
size_t EscapeDeviceText(char* out, size_t outSize, const char* text, size_t len);
