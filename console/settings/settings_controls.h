// What the settings store reads from and writes into: the controls of the
// main window, or their stand-ins when no window is shown.
#pragma once

#include <cstdint>
#include <string>

/// The controls that hold the operator's configuration. The window and the
/// headless runner each implement it; the settings store keeps no copy.
/// Texts are UTF-8.
class SettingsControls {
 public:
  virtual ~SettingsControls() = default;

  /// Number of interfaces listed (entries of the interface list, not items
  /// of the drop-down list).
  virtual int InterfaceCount() const = 0;
  /// Description of list entry `index` (0 to InterfaceCount() - 1).
  virtual std::string InterfaceDescription(int index) const = 0;
  /// Selected item of the "Network Interface:" list, -1 when none. With
  /// several interfaces item 0 is "Select one..." and item i + 1 is entry i.
  virtual int InterfaceSelection() const = 0;
  /// Selects an item of the "Network Interface:" list.
  virtual void SelectInterfaceItem(int item) = 0;
  /// The stored interface `stored` is not in the list: the window says so
  /// ("Previously selected Interface '%s' is not available now"). A front
  /// end that serves only the interface its settings name, and waits for
  /// it, says its own words instead.
  virtual void InterfaceNotListed(const std::string& stored);

  /// Selects the first "Region/SKU:" item whose text begins with `prefix`,
  /// ignoring case. When none does, the selection stays and false is
  /// returned.
  virtual bool SelectRegionByName(const char* prefix) = 0;
  /// Region code of the selected "Region/SKU:" item, 0 when none.
  virtual int32_t SelectedRegionCode() const = 0;

  virtual std::string FirmwarePath() const = 0;
  virtual void SetFirmwarePath(const std::string& path) = 0;
  /// `table` is 1 to 6.
  virtual std::string StringTablePath(int table) const = 0;
  virtual void SetStringTablePath(int table, const std::string& path) = 0;

  /// The "Enable Log:" check box.
  virtual bool LogEnabled() const = 0;
  virtual void SetLogEnabled(bool enabled) = 0;
  /// The log path field; setting it leaves the caret at the end.
  virtual std::string LogPath() const = 0;
  virtual void SetLogPath(const std::string& path) = 0;

  /// The device record's path (one JSON line per device served); empty:
  /// no record. No control of the window shows it: the supervisor sets it
  /// from the "Advanced" menu.
  virtual std::string RecordPath() const = 0;
  virtual void SetRecordPath(const std::string& path) = 0;

  /// The supervisor password in plain text (at most 32 characters).
  virtual std::string SupervisorPassword() const = 0;
  virtual void SetSupervisorPassword(const std::string& password) = 0;

  /// Opens the log file named by the log path field, replacing the one
  /// open; true when a file is open afterwards.
  virtual bool OpenLogFile() = 0;
};
