// The images on offer (firmware and string tables 1 to 6) held in memory
// from Start to Stop, and the mapping of requested names to images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SKAV_Opt;
class CClientThread;

constexpr int kImageCount = 7;  // 0 firmware, 1..6 string tables

/// Shared, read-only while the server runs. An image is loaded when its
/// buf is not nullptr (an empty file is loaded with len 0).
struct UploadImages {
  uint8_t* buf[kImageCount] = {};
  uint32_t len[kImageCount] = {};
  uint32_t stMask = 0;  ///< bit k-1: string table k loaded

  bool Loaded(int index) const { return buf[index] != nullptr; }
};

/// True for an empty path or one of spaces only.
bool IsBlankPath(const char* path);

/// The checks of LoadFileToMemory that need no read (a regular file, of a
/// size one transfer carries), with its messages; for a file just chosen.
/// false after an ErrorBox, or with the message in `why` when given.
bool CheckImageFile(const char* path, std::string* why = nullptr);

/// Reads the whole file into a new block. false after an ErrorBox, or with
/// the message in `why` when given (the caller tells it in its own).
bool LoadFileToMemory(const char* path, uint8_t** block, uint32_t* length,
                      std::string* why = nullptr);

/// Loads every non-blank table of `paths` (index 0 is table 1) into
/// images.buf[1..6]. 0 when all loaded; k when table k failed (loading
/// stops there; its message as LoadFileToMemory gives it). Computes stMask
/// from what is loaded.
int LoadStringTables(const std::string paths[6], UploadImages& images,
                     std::string* why = nullptr);

/// Releases every loaded image and clears the record.
void FreeUploadImages(UploadImages& images);

/// Image index for a TFTP-UL-REQ's FILE-NAME (nullptr: none), or -1 after
/// logging that the file is not available.
int TFTPSelectFile(CClientThread& client, const SKAV_Opt* fileName);

constexpr size_t kImageNameSize = 16;

/// The name an image goes by on the wire and in the records: "firmware"
/// for 0, "string table 01" to "string table 06" for 1 to 6.
void ImageName(int index, char (&out)[kImageNameSize]);

/// Writes the WRQ for client.fileIndex into `out` (at least 24 bytes);
/// returns its length.
int TFTPBuildWRQ(const CClientThread& client, uint8_t* out);

/// Records the completion of client.fileIndex and sets tftpDone when the
/// device has everything that was offered.
void TFTPUploadDone(CClientThread& client);
