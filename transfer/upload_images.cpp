// The images on offer: loading them whole at Start, naming them, choosing
// one for a device's request, and recording what a device has received.
#include "transfer/upload_images.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report/file_kind.h"
#include "report/debug_print.h"
#include "protocol/client_thread.h"
#include "protocol/skav_msg.h"
#include "report/device_text.h"
#include "transfer/tftp.h"

#define MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

constexpr char kStringTablePrefix[] = "string table ";
constexpr size_t kStringTablePrefixLen = sizeof kStringTablePrefix - 1;
constexpr int kMaxFileName = 63;  // longest FILE-NAME value

// strerror_r comes in two flavours; either way the text ends up usable.
[[maybe_unused]] const char* ErrorText(int result, const char* buf) {
  return result == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* text, const char*) {
  return text;
}

// What atoi reads: leading white space, a sign, then digits up to the first
// other character; no digits read as 0. Saturates instead of overflowing.
long ReadNumber(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = (*s++ == '-');
  long n = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
    if (n < INT_MAX) n = n * 10 + (*s - '0');
  }
  return negative ? -n : n;
}

bool ImageLoaded(const CClientThread& client, int index) {
  return client.images != nullptr && client.images->Loaded(index);
}

}  // namespace

bool IsBlankPath(const char* path) {
  if (path == nullptr) return true;
  while (*path == ' ') ++path;
  return *path == '\0';
}

namespace {

// A failure's words: into `why` when the caller tells them in a message of
// its own, else in a box of their own.
void Say(std::string* why, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Say(std::string* why, const char* format, ...) {
  char text[kDebugTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (why != nullptr) {
    *why = text;
  } else {
    ErrorBox("%s", text);
  }
}

void TellOpenFailure(int openError, const char* refusal, std::string* why) {
  char reason[1024];
  Say(why, "Fail to open the file: %s",
      refusal ? refusal : ErrorText(strerror_r(openError, reason, sizeof reason), reason));
}

bool SizeFits(const char* path, uint64_t size, std::string* why) {
  if (size <= kTftpMaxImageSize) return true;
  Say(why, "The file '%s' is %llu bytes long; one TFTP transfer carries at most %u bytes", path,
      static_cast<unsigned long long>(size), kTftpMaxImageSize);
  return false;
}

}  // namespace

bool CheckImageFile(const char* path, std::string* why) {
  struct stat st {};
  if (stat(path, &st) != 0) {
    TellOpenFailure(errno, nullptr, why);
    return false;
  }
  if (const char* refusal = NotARegularFile(st.st_mode)) {
    TellOpenFailure(0, refusal, why);
    return false;
  }
  return SizeFits(path, static_cast<uint64_t>(st.st_size), why);
}

bool LoadFileToMemory(const char* path, uint8_t** block, uint32_t* length, std::string* why) {
  *block = nullptr;
  *length = 0;
  if (path == nullptr || path[0] == '\0') {
    Say(why, "No file specified");
    return false;
  }

  // Only a regular file is an image. A FIFO would block Start until someone
  // writes to it, and a device need not be opened at all (some act on
  // open), so look before opening; then look again at what was opened, in
  // case the name now leads elsewhere. O_NONBLOCK keeps that open from
  // waiting for a writer.
  struct stat st {};
  int fd = -1;
  int openError = 0;
  const char* refusal = nullptr;
  if (stat(path, &st) != 0) {
    openError = errno;
  } else if ((refusal = NotARegularFile(st.st_mode)) == nullptr) {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      openError = errno;
    } else if (fstat(fd, &st) != 0) {
      openError = errno;
    } else {
      refusal = NotARegularFile(st.st_mode);
    }
  }
  if (openError != 0 || refusal != nullptr) {
    if (fd >= 0) close(fd);
    TellOpenFailure(openError, refusal, why);
    return false;
  }

  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (!SizeFits(path, size, why)) {
    close(fd);
    return false;
  }
  uint8_t* data = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (data == nullptr) {
    Say(why, "Unable to allocate memory for the file");
    close(fd);
    return false;
  }

  uint64_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<uint64_t>(n);
  }
  // A file that gives more than its size said is no fixed image: the
  // files of /proc say 0 and are made up as they are read, and a file
  // still being written grows. Either would be sent cut short.
  bool longer = false;
  if (got == size) {
    uint8_t more;
    ssize_t n;
    while ((n = read(fd, &more, 1)) < 0 && errno == EINTR) {
    }
    longer = n > 0;
  }
  close(fd);
  if (longer) {
    Say(why,
        "Fail to open the file: not a regular file of fixed length: it holds more than the "
        "%llu bytes its size gives (a file of /proc, or one still being written)",
        static_cast<unsigned long long>(size));
    std::free(data);
    return false;
  }
  if (got < size) {
    Say(why, "Unable to read the file: %d", static_cast<int>(got));
    std::free(data);
    return false;
  }
  *block = data;
  *length = static_cast<uint32_t>(size);
  return true;
}

int LoadStringTables(const std::string paths[6], UploadImages& images, std::string* why) {
  int failed = 0;
  // The record comes empty (Stop and every failed Start release it).
  for (int k = 1; k <= 6 && failed == 0; ++k) {
    images.buf[k] = nullptr;
    images.len[k] = 0;
    const char* path = paths[k - 1].c_str();
    if (IsBlankPath(path)) continue;
    if (!LoadFileToMemory(path, &images.buf[k], &images.len[k], why)) failed = k;
  }
  images.stMask = 0;
  for (int k = 1; k <= 6; ++k) {
    if (images.Loaded(k)) images.stMask |= 1u << (k - 1);
  }
  return failed;
}

void FreeUploadImages(UploadImages& images) {
  for (int i = 0; i < kImageCount; ++i) {
    std::free(images.buf[i]);
    images.buf[i] = nullptr;
    images.len[i] = 0;
  }
  images.stMask = 0;
}

int TFTPSelectFile(CClientThread& client, const SKAV_Opt* fileName) {
  char name[kMaxFileName + 1] = "";
  int index = -1;
  if (fileName == nullptr) {
    index = 0;
  } else {
    const uint8_t* value = fileName->bytes;
    int count = fileName->length - kSkavOptHeaderLen;
    if (value == nullptr || count < 0) count = 0;
    if (count > kMaxFileName) count = kMaxFileName;
    int at = 0;
    while (at < count && value[at] == ' ') ++at;
    int n = 0;
    while (at < count && value[at] != 0)
      name[n++] = static_cast<char>(value[at++]);
    name[n] = '\0';

    if (strcasecmp(name, "firmware") == 0) {
      index = 0;
    } else if (strncasecmp(name, kStringTablePrefix, kStringTablePrefixLen) ==
               0) {
      // Table 0, and a name with no number at all, ask for no table: they
      // are not served, rather than handing out the firmware under a name
      // the device did not ask for.
      const long number = ReadNumber(name + kStringTablePrefixLen);
      if (number >= 1 && number <= 6) index = static_cast<int>(number);
    }
  }
  if (index >= 0 && ImageLoaded(client, index)) return index;

  char shown[4 * sizeof name];
  EscapeDeviceText(shown, sizeof shown, name, std::strlen(name));
  DebugPrint(client.Log(),
             "[%02x-%02x-%02x-%02x-%02x-%02x]: requested file \"%s\" is not "
             "available\r\n",
             MAC_ARGS(client.mac), name[0] ? shown : "firmware");
  return -1;
}

void ImageName(int index, char (&out)[kImageNameSize]) {
  if (index >= 1 && index <= 6) {
    std::snprintf(out, sizeof out, "string table %02d", index);
  } else {
    std::snprintf(out, sizeof out, "firmware");
  }
}

int TFTPBuildWRQ(const CClientThread& client, uint8_t* out) {
  char name[kImageNameSize];
  ImageName(client.fileIndex, name);
  int n = 0;
  out[n++] = 0;
  out[n++] = TFTP_WRQ;
  const size_t nameLen = std::strlen(name);
  std::memcpy(out + n, name, nameLen + 1);  // with its zero byte
  n += static_cast<int>(nameLen) + 1;
  std::memcpy(out + n, "octet", 6);
  n += 6;
  return n;
}

void TFTPUploadDone(CClientThread& client) {
  // Implicitly acknowledged, the final block counts as received all the same.
  client.live->ImageSent(static_cast<uint32_t>(client.dataLen));
  if (client.fileIndex == 0) {
    client.fwDone = 1;
  } else {
    client.stDone |= 1u << (client.fileIndex - 1);
  }
  DebugPrint(client.Log(),
             "[%02x-%02x-%02x-%02x-%02x-%02x] TFTP upload completion status: "
             "FW (%s), ST (%#08x)\r\n",
             MAC_ARGS(client.mac), client.fwDone ? "Yea" : "No", client.stDone);
  if ((client.fwDone || !ImageLoaded(client, 0)) &&
      client.stDone == client.stMask) {
    client.SetFlag(tftpDone);
  }
}
