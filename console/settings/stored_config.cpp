// Comparing configurations value by value: see stored_config.h.
#include "console/settings/stored_config.h"

#include "console/settings/settings_store.h"

namespace {

void Describe(std::string* out, const std::string& what) {
  if (!out->empty()) *out += ", ";
  *out += what;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::string ChosenInterface(const SettingsControls& controls) {
  const int count = controls.InterfaceCount();
  const int item = controls.InterfaceSelection();
  if (item < 0 || (item == 0 && count > 1)) return {};
  const int entry = count > 1 ? item - 1 : 0;
  return entry < count ? controls.InterfaceDescription(entry) : std::string();
}

StoredConfig ConfigOf(const SettingsControls& controls) {
  StoredConfig c;
  c.interfaceName = ChosenInterface(controls);
  c.region = controls.SelectedRegionCode();
  c.firmwarePath = controls.FirmwarePath();
  for (int k = 0; k < 6; ++k) c.stringTablePaths[k] = controls.StringTablePath(k + 1);
  c.logEnabled = controls.LogEnabled();
  c.logPath = controls.LogPath();
  c.recordPath = controls.RecordPath();
  return c;
}

uint32_t ConfigDifference(const StoredConfig& a, const StoredConfig& b) {
  uint32_t mask = 0;
  if (a.interfaceName != b.interfaceName) mask |= SETTING_INTERFACE;
  if (a.region != b.region) mask |= SETTING_REGION;
  if (a.firmwarePath != b.firmwarePath) mask |= SETTING_FIRMWARE;
  for (int k = 0; k < 6; ++k) {
    if (a.stringTablePaths[k] != b.stringTablePaths[k]) mask |= SETTING_STRING_TABLE_1 << k;
  }
  if (a.logEnabled != b.logEnabled) mask |= SETTING_LOG_ENABLE;
  if (a.logPath != b.logPath) mask |= SETTING_LOG_PATH;
  if (a.recordPath != b.recordPath) mask |= SETTING_RECORD_PATH;
  return mask;
}

std::string DescribeConfig(const StoredConfig& c, uint32_t mask) {
  std::string out;
  if (mask & SETTING_INTERFACE) Describe(&out, "Interface Name " + Quoted(c.interfaceName));
  if (mask & SETTING_REGION) Describe(&out, "Region " + std::to_string(c.region));
  if (mask & SETTING_FIRMWARE) Describe(&out, "Firmware Path " + Quoted(c.firmwarePath));
  for (int k = 0; k < 6; ++k) {
    if (mask & (SETTING_STRING_TABLE_1 << k))
      Describe(&out, "String Table " + std::to_string(k + 1) + " Path " +
                         Quoted(c.stringTablePaths[k]));
  }
  if (mask & SETTING_LOG_ENABLE) Describe(&out, std::string("Log Enable ") + (c.logEnabled ? "1" : "0"));
  if (mask & SETTING_LOG_PATH) Describe(&out, "Log Path " + Quoted(c.logPath));
  if (mask & SETTING_RECORD_PATH) Describe(&out, "Record Path " + Quoted(c.recordPath));
  return out;
}
