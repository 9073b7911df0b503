// Why a log or record file could not be opened, in words an operator can
// act on: a bare "Permission denied" or "Read-only file system" does not
// say what to change.
#pragma once

#include <string>

/// The reason `path` could not be opened for appending, `err` being open's
/// errno. For a lack of permission: the owner and mode of the file (of its
/// folder when the file is not there) and the command that mends it. For a
/// read-only file system: what the service's sandbox lets it write, and the
/// drop-in that opens another folder. Otherwise the system's own words.
std::string OpenFailure(const std::string& path, int err);
