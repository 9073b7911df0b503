// Reading the log file back: see outcome_log.h.
#include "soak/outcome_log.h"

#include <fstream>
#include <iterator>

namespace soak {

std::vector<OutcomeSection> ReadOutcomeLog(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  std::vector<OutcomeSection> sections;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.find("] Firmware Reworking starts ") != std::string::npos) {
      sections.emplace_back();
      continue;
    }
    if (line.find("] Supervisor Logs ") != std::string::npos) continue;
    // "[Dec  6 07:51:27 2026] 02-5A-00-00-00-01: Done    "
    MacKey mac = 0;
    const bool shaped = line.size() == 22 + 1 + 17 + 2 + 8 && line[0] == '[' &&
                        line[21] == ']' && ParseMacText(line.c_str() + 23, &mac) &&
                        line.compare(40, 2, ": ") == 0;
    if (sections.empty()) sections.emplace_back();
    OutcomeSection& s = sections.back();
    if (shaped && line.compare(42, 8, "Done    ") == 0) {
      ++s.byMac[mac].first;
      ++s.done;
    } else if (shaped && line.compare(42, 8, "Error   ") == 0) {
      ++s.byMac[mac].second;
      ++s.error;
    } else {
      ++s.malformed;
    }
  }
  return sections;
}

}  // namespace soak
