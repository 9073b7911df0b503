// The JSON Lines record: one object per finished device, for a line's
// quality records, written when and as often as the log file's outcome line.
#pragma once

#include <cstddef>
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

/// The record file of a run, kept by its path (empty: none); its lines end
/// with LF.
struct RecordFile : LineFile {
  RecordFile() : LineFile("\n", "record file") {}
};

/// The one-line JSON object of a device that has finished (Closed, or cut
/// off by a stop), without its line feed. `images` holds the run's
/// kImageCount entries; `nowWallMs` stands in for the end of a device cut
/// off by a stop.
std::string DeviceRecordJson(const DeviceRecord& device, int32_t regionCode,
                             const ImageFacts* images, const RecordServer& server,
                             int64_t nowWallMs);

/// Holds one line for each client whose outcome is final (ClientOutcome)
/// and not yet recordWritten, and marks it, while fewer than `bound` lines
/// are held; the lines go to the file with the file's writer. 0 when no
/// record is kept, else 1.
int RecordFileOutcomes(RecordFile& file, DeviceRecord* list, int32_t regionCode,
                       const ImageFacts* images, const RecordServer& server,
                       size_t bound = kMaxHeldLines);

/// Closes the open record (if any), keeps `path` and opens it for
/// appending (a regular file only, without waiting for anyone), with the
/// operator's message on failure (it is tried again while lines wait).
/// true when open afterwards; an empty path turns the record off.
bool OpenRecordFile(RecordFile& file, const std::string& path);

/// Closes the record and forgets its path.
void CloseRecordFile(RecordFile& file);
