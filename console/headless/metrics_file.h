// Replacing a file that another program reads at any moment: the reader
// sees the old text or the new one, never a part of either.
#pragma once

#include <string>

/// Writes `text` to a new file beside `path` (a hidden name, which the
/// textfile collector skips, readable by every user) and renames it over
/// `path`. Empty when done, else why not, in words; nothing is left behind
/// on failure.
std::string ReplaceFileAtomically(const std::string& path, const std::string& text);
