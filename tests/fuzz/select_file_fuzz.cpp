// Fuzz target: TFTPSelectFile with any FILE-NAME bytes a device may send,
// including lengths the parser would refuse.
//
// Input: one byte of loaded images (bit 0 firmware, bits 1-6 string
// tables 1-6), then the option's value; only the set-up byte means no
// FILE-NAME at all.
#include <strings.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client_rig.h"
#include "protocol/skav_msg.h"
#include "transfer/upload_images.h"

namespace {

// The requested name as a device meant it: leading spaces skipped, up to
// the first zero byte, at most 63 bytes looked at.
bool NameStartsWith(const uint8_t* v, size_t n, const char* prefix,
                    bool whole) {
  if (n > 63) n = 63;
  size_t at = 0;
  while (at < n && v[at] == ' ') ++at;
  const size_t p = std::strlen(prefix);
  size_t i = 0;
  for (; i < p; ++i) {
    if (at + i >= n || v[at + i] == 0) return false;
    if (std::tolower(v[at + i]) != prefix[i]) return false;
  }
  return !whole || at + i == n || v[at + i] == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > 0xFFFF - kSkavOptHeaderLen) return 0;
  const uint8_t loaded = data[0];

  fuzz::ClientRig rig(true);
  for (int i = 0; i < kImageCount; ++i)
    if (loaded & (1u << i)) rig.SetImage(i, 20, static_cast<uint8_t>(i));
  CClientThread& c = rig.MakeClient(0);

  const bool hasName = size > 1;
  fuzz::Bytes value(data + 1, size - 1);
  SKAV_Opt opt;
  opt.type = SKAV_OPT_FILE_NAME;
  opt.length = static_cast<uint16_t>(kSkavOptHeaderLen + value.size);
  opt.bytes = value.data();

  const int index = TFTPSelectFile(c, hasName ? &opt : nullptr);
  FUZZ_CHECK(index >= -1 && index < kImageCount);
  if (index < 0) return 0;
  FUZZ_CHECK(rig.Images().Loaded(index));
  if (!hasName) {
    FUZZ_CHECK(index == 0);
  } else if (index == 0) {
    FUZZ_CHECK(NameStartsWith(value.data(), value.size, "firmware", true));
  } else {
    FUZZ_CHECK(
        NameStartsWith(value.data(), value.size, "string table ", false));
  }
  return 0;
}
