// Configuration controls without a window, filled as the window fills its
// own when it opens.
#include "console/settings/plain_controls.h"

#include <strings.h>

#include <cstring>

#include "protocol/region.h"

PlainControls::PlainControls(const L2_IfList& interfaces)
    : interfaces_(interfaces),
      // An empty list has no item to select.
      interfaceItem_(interfaces.count > 0 ? 0 : -1) {
  regions_.push_back({"-No Change-", 0});
  for (const RegionEntry* e = RegionTable; e->code != 0; ++e) {
    regions_.push_back({e->name, e->code});
  }
}

int PlainControls::InterfaceCount() const { return interfaces_.count; }

std::string PlainControls::InterfaceDescription(int index) const {
  if (index < 0 || index >= interfaces_.count) return {};
  return std::string(interfaces_.description[index],
                     strnlen(interfaces_.description[index], sizeof interfaces_.description[index]));
}

int PlainControls::InterfaceItemCount() const {
  return interfaces_.count > 1 ? interfaces_.count + 1 : interfaces_.count;
}

int PlainControls::InterfaceSelection() const { return interfaceItem_; }

void PlainControls::SelectInterfaceItem(int item) {
  // Like a drop-down list: an index out of range clears the selection.
  interfaceItem_ = item >= 0 && item < InterfaceItemCount() ? item : -1;
}

bool PlainControls::SelectRegionByName(const char* prefix) {
  const size_t n = std::strlen(prefix);
  for (size_t i = 0; i < regions_.size(); ++i) {
    if (strncasecmp(regions_[i].text.c_str(), prefix, n) == 0) {
      regionItem_ = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

void PlainControls::SelectRegionItem(int item) {
  regionItem_ = item >= 0 && item < static_cast<int>(regions_.size()) ? item : -1;
}

int32_t PlainControls::SelectedRegionCode() const {
  return regionItem_ >= 0 ? regions_[regionItem_].code : 0;
}

std::string PlainControls::StringTablePath(int table) const {
  return table >= 1 && table <= 6 ? tablePaths_[table - 1] : std::string();
}

void PlainControls::SetStringTablePath(int table, const std::string& path) {
  if (table >= 1 && table <= 6) tablePaths_[table - 1] = path;
}
