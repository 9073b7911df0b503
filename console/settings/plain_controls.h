// The state of the configuration controls without a window: what the
// headless runner and the tests give the settings store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/settings/settings_controls.h"
#include "link/if_list.h"

/// Holds what the window's controls would hold, filled the way the window
/// fills them when it opens: the interface list (with "Select one..." first
/// when there are several, item 0 selected), the "Region/SKU:" list
/// ("-No Change-" and the region table, nothing selected), empty paths, the
/// log box unchecked and no password. OpenLogFile does nothing here and
/// returns false; front ends that keep a log file override it.
class PlainControls : public SettingsControls {
 public:
  /// `interfaces` must outlive the object.
  explicit PlainControls(const L2_IfList& interfaces);

  int InterfaceCount() const override;
  std::string InterfaceDescription(int index) const override;
  int InterfaceSelection() const override;
  void SelectInterfaceItem(int item) override;
  bool SelectRegionByName(const char* prefix) override;
  int32_t SelectedRegionCode() const override;
  std::string FirmwarePath() const override { return firmwarePath_; }
  void SetFirmwarePath(const std::string& path) override { firmwarePath_ = path; }
  std::string StringTablePath(int table) const override;
  void SetStringTablePath(int table, const std::string& path) override;
  bool LogEnabled() const override { return logEnabled_; }
  void SetLogEnabled(bool enabled) override { logEnabled_ = enabled; }
  std::string LogPath() const override { return logPath_; }
  void SetLogPath(const std::string& path) override { logPath_ = path; }
  std::string RecordPath() const override { return recordPath_; }
  void SetRecordPath(const std::string& path) override { recordPath_ = path; }
  std::string SupervisorPassword() const override { return password_; }
  void SetSupervisorPassword(const std::string& password) override { password_ = password; }
  bool OpenLogFile() override { return false; }

  /// Number of items in the "Network Interface:" list.
  int InterfaceItemCount() const;
  /// Selects a "Region/SKU:" item by its index (-1: none).
  void SelectRegionItem(int item);
  /// Index of the selected "Region/SKU:" item, -1 when none.
  int RegionSelection() const { return regionItem_; }
  /// The six string-table paths, table 1 first.
  const std::string* StringTablePaths() const { return tablePaths_; }

 private:
  struct RegionItem {
    std::string text;
    int32_t code;
  };

  const L2_IfList& interfaces_;
  int interfaceItem_;
  std::vector<RegionItem> regions_;
  int regionItem_ = -1;
  std::string firmwarePath_;
  std::string tablePaths_[6];
  bool logEnabled_ = false;
  std::string logPath_;
  std::string recordPath_;
  std::string password_;
};
