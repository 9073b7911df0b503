// Region codes offered to devices and the names the operator sees.
#include "protocol/region.h"

const RegionEntry RegionTable[] = {
    {1, "NA"}, {2, "WW"}, {3, "GR"}, {4, "PR"}, {5, "RU"},
    {6, "BZ"}, {7, "IN"}, {8, "KO"}, {9, "JP"}, {0, nullptr},
};

const char* RegionName(int32_t code) {
  // Code 0 ends the table, so it never matches an entry.
  for (const RegionEntry* e = RegionTable; e->code != 0; ++e) {
    if (e->code == code) return e->name;
  }
  return "Undefined Region";
}
