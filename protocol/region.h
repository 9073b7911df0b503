// Region codes offered to devices in DEV-REGION, with their names.
#pragma once

#include <cstdint>

struct RegionEntry {
  int32_t code;
  const char* name;
};

/// Codes 1 to 9 in table order, ended by an entry whose code is 0.
extern const RegionEntry RegionTable[];

/// Name of `code`, or "Undefined Region" (code 0 included).
const char* RegionName(int32_t code);
