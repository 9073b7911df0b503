// The configuration as the settings file holds it: what a window changed
// since it loaded, and what changed on disk meanwhile, told apart value by
// value so that a window writes back only its own changes.
#pragma once

#include <cstdint>
#include <string>

#include "console/settings/settings_controls.h"

/// The values SaveSettings writes from the controls, the password aside
/// (it is written when it is changed, and never read back in plain text).
struct StoredConfig {
  std::string interfaceName;
  int32_t region = 0;
  std::string firmwarePath;
  std::string stringTablePaths[6];  ///< table 1 first
  bool logEnabled = false;
  std::string logPath;
  std::string recordPath;
};

/// The description of the interface chosen in `controls`, as SaveSettings
/// stores it: empty while "Select one..." or nothing is selected.
std::string ChosenInterface(const SettingsControls& controls);

/// What SaveSettings would write from `controls`.
StoredConfig ConfigOf(const SettingsControls& controls);

/// The SaveSettings mask bits of the values that differ.
uint32_t ConfigDifference(const StoredConfig& a, const StoredConfig& b);

/// The values of `mask` in `config`, in the order SaveSettings writes
/// them, as "Firmware Path '/srv/fw.bin', Region 3".
std::string DescribeConfig(const StoredConfig& config, uint32_t mask);
