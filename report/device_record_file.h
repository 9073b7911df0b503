// The JSON Lines record: one object per finished device, for a line's
// quality records, written when and as often as the log file's outcome line.
#pragma once

#include <cstdint>
#include <string>

#include "report/held_lines.h"
#include "report/image_facts.h"

struct DeviceRecord;
class LogSink;

/// What every line says of the server that wrote it; filled at Start.
struct RecordServer {
  std::string host;
  std::string interface;
  std::string version;
};

/// The record file of a run, or none. `fd` and `path` are read and written
/// only under gLogLock (the front end replaces the file at any time).
struct RecordFile {
  std::string path;  ///< empty: no record
  int fd = -1;       ///< -1: not open (yet); tried again while lines wait
  bool failing = false;  ///< the last open or write failed (said once)
  HeldLines held;        ///< lines not yet in the file
};

/// The one-line JSON object of a device that has finished (Closed, or cut
/// off by a stop), without its line feed. `images` holds the run's
/// kImageCount entries; `nowWallMs` stands in for the end of a device cut
/// off by a stop.
std::string DeviceRecordJson(const DeviceRecord& device, int32_t regionCode,
                             const ImageFacts* images, const RecordServer& server,
                             int64_t nowWallMs);

/// Holds one line for each client whose outcome is final (ClientOutcome)
/// and not yet recordWritten, and marks it; the lines go to the file with
/// RecordFileWriteHeld. 0 when no record is kept, else 1.
int RecordFileOutcomes(RecordFile& file, DeviceRecord* list, int32_t regionCode,
                       const ImageFacts* images, const RecordServer& server);

/// Writes the held lines, opening the file first when it is not open yet
/// (a folder made or a disk mounted later loses nothing), then makes them
/// durable (fdatasync). A failure is said once in the Debug Window (`log`)
/// and the lines stay held. True when nothing is held any more.
bool RecordFileWriteHeld(RecordFile& file, LogSink* log);

/// Closes the open record (if any), keeps `path` and opens it for
/// appending (a regular file only, without waiting for anyone), with the
/// operator's message on failure (it is tried again while lines wait). true when open afterwards; an empty path turns the
/// record off.
bool OpenRecordFile(RecordFile& file, const std::string& path);

/// Closes the record and forgets its path.
void CloseRecordFile(RecordFile& file);

/// True while a record is kept (a path is set), open or not yet.
bool RecordFileIsKept(RecordFile& file);
