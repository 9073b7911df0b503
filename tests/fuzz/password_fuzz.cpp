// Fuzz target: unsealing the supervisor password read from the settings
// store, and sealing any text and unsealing it again.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "console/password.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The store hands over a C string: the input up to its first zero byte.
  const size_t len = strnlen(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> text(new char[len + 1]);
  std::memcpy(text.get(), data, len);
  text[len] = '\0';

  // Exactly the room the caller is told to provide, so that one byte more
  // is caught.
  std::unique_ptr<char[]> plain(new char[len / 2 + 1]);
  const int ok = UnsealPassword(text.get(), plain.get());
  FUZZ_CHECK(ok == 0 || ok == 1);
  FUZZ_CHECK(std::strlen(plain.get()) <= len / 2);
  if (ok == 1) {
    // What unseals must seal back to the same digits (either case).
    FUZZ_CHECK(std::strlen(plain.get()) * 2 == len);
    std::unique_ptr<char[]> again(new char[len + 1]);
    FUZZ_CHECK(SealPassword(plain.get(), again.get()) == 1);
    FUZZ_CHECK(strcasecmp(again.get(), text.get()) == 0);
  }

  // Any text seals into two digits a character and unseals back to itself.
  std::unique_ptr<char[]> sealed(new char[2 * len + 1]);
  FUZZ_CHECK(SealPassword(text.get(), sealed.get()) == 1);
  FUZZ_CHECK(std::strlen(sealed.get()) == 2 * len);
  std::unique_ptr<char[]> back(new char[len + 1]);
  FUZZ_CHECK(UnsealPassword(sealed.get(), back.get()) == 1);
  FUZZ_CHECK(std::strcmp(back.get(), text.get()) == 0);
  return 0;
}
