// Only a regular file is read as an image or written as a record: a named
// pipe would block whoever opens it, and a device may act on being opened.
#pragma once

#include <sys/stat.h>

/// Why a file of `mode` is no regular file, in plain words; nullptr for a
/// regular file. A directory keeps the system's own words for it.
inline const char* NotARegularFile(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "Is a directory";
  if (S_ISFIFO(mode)) return "not a regular file but a named pipe (FIFO)";
  if (S_ISCHR(mode)) return "not a regular file but a character device";
  if (S_ISBLK(mode)) return "not a regular file but a block device";
  if (S_ISSOCK(mode)) return "not a regular file but a socket";
  return "not a regular file";
}
