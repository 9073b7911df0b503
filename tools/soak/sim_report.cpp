// Reading the device simulator's output: see sim_report.h.
#include "soak/sim_report.h"

#include <cstdlib>
#include <sstream>

namespace soak {

namespace {

// The value of ` key=` in `line` up to the next blank (or the closing
// quote of a quoted value); empty when absent.
std::string Field(const std::string& line, const std::string& key) {
  const std::string k = " " + key + "=";
  const size_t at = line.find(k);
  if (at == std::string::npos) return "";
  size_t from = at + k.size();
  if (from < line.size() && line[from] == '"') {
    const size_t end = line.find('"', from + 1);
    return line.substr(from + 1, end == std::string::npos ? std::string::npos : end - from - 1);
  }
  return line.substr(from, line.find(' ', from) - from);
}

int IntField(const std::string& line, const std::string& key) {
  return std::atoi(Field(line, key).c_str());
}

}  // namespace

SimOutput ParseSimOutput(const std::string& text) {
  SimOutput out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("summary ", 0) == 0) {
      out.haveSummary = true;
      continue;
    }
    if (line.rfind("junk ", 0) == 0) {
      out.junkLine = line;
      continue;
    }
    MacKey mac = 0;
    if (line.size() < 20 || line[17] != ' ' || !ParseMacText(line.c_str(), &mac)) continue;
    SimDeviceLine d;
    d.mac = mac;
    // A device that gave up an image on purpose went as its wave planned.
    d.ok = line.compare(18, 3, "ok ") == 0 || line.compare(18, 18, "failed-as-planned ") == 0;
    d.reason = Field(line, "reason");
    d.note = Field(line, "note");
    d.wrq = IntField(line, "wrq");
    d.data = IntField(line, "data");
    d.dupData = IntField(line, "dupdata");
    d.dropped = IntField(line, "dropped");
    for (size_t at = line.find("=incomplete"); at != std::string::npos;
         at = line.find("=incomplete", at + 1))
      ++d.incomplete;
    out.devices.push_back(d);
  }
  return out;
}

}  // namespace soak
