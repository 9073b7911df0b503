// What the run's records say of each image on offer: the file it came from,
// its size and its SHA-256, fixed at Start.
#pragma once

#include <cstdint>
#include <string>

/// One image of the run, as loaded at Start. Written before the server
/// thread starts and read-only until the run ends.
struct ImageFacts {
  bool loaded = false;
  std::string name;     ///< "firmware", "string table 01" ... "string table 06"
  std::string path;     ///< the file as the settings named it
  uint32_t size = 0;    ///< bytes
  std::string sha256;   ///< 64 lower-case hexadecimal digits
};
