// The settings store: the values that carry the operator's configuration
// from one run to the next, read into the controls and written back.
#pragma once

#include <cstdint>
#include <string>

#include "console/settings/settings_controls.h"

/// Mask bits of SaveSettings: which values to write.
enum : uint32_t {
  SETTING_PASSWORD = 0x1,
  SETTING_INTERFACE = 0x2,
  SETTING_FIRMWARE = 0x4,
  SETTING_LOG_ENABLE = 0x8,
  SETTING_LOG_PATH = 0x10,
  SETTING_REGION = 0x20,
  SETTING_STRING_TABLE_1 = 0x40,
  SETTING_STRING_TABLE_2 = 0x80,
  SETTING_STRING_TABLE_3 = 0x100,
  SETTING_STRING_TABLE_4 = 0x200,
  SETTING_STRING_TABLE_5 = 0x400,
  SETTING_STRING_TABLE_6 = 0x800,
  SETTING_RECORD_PATH = 0x1000,
  SETTING_ALL = 0x1FFF,
};

// Both operations run on the front end's thread: the controls belong to it.

/// The machine-wide settings file (on Linux /etc/xdg/KESTRAN/SKAVD.conf).
std::string MachineSettingsFile();

/// Reads every stored value into `controls`, showing a message for each
/// value that cannot be read. `file` names an INI file to use instead of
/// the machine-wide store; empty means the machine-wide store. 1 when the
/// settings were read or nothing was stored yet (no file: defaults, no
/// message); 0 when the file cannot be read (after a message naming it),
/// or the password cannot be read or unsealed (the later values are then
/// not read).
int LoadSettings(SettingsControls& controls, const std::string& file = {});

/// The highest ceiling on clients being served at once that a setting or
/// an option may give.
constexpr int32_t kMaxLiveClientsLimit = 1048576;

/// The "Max Clients" value (the most devices served at once; not one of
/// the window's controls: a bench's administrator sets it in the file).
/// The default when it is not stored; the default after a message when it
/// cannot be read or is not from 1 to kMaxLiveClientsLimit.
int32_t LoadMaxClients(const std::string& file = {});

struct StoredConfig;
/// The values as the file holds them now, without a message: a value that
/// is missing or cannot be read is left empty (0).
StoredConfig ReadStoredConfig(const std::string& file = {});

/// The stored "Interface Name": the interface the settings name, whether
/// or not it is there now. Empty when none is stored or it cannot be read.
std::string LoadInterfaceName(const std::string& file = {});

/// The stored supervisor password, for a check made without the window
/// (the empty password when none is stored). False, showing nothing, when
/// the file or the value cannot be read or unsealed.
bool LoadSupervisorPassword(const std::string& file, std::string* password);

/// How the window left its Transfer Progress window: open or not, and its
/// columns (the view's header state, opaque bytes).
struct ProgressLayout {
  bool open = false;
  std::string columns;
  std::string geometry;  ///< its size and place (opaque bytes); empty: never placed
};

/// The stored layout; the defaults when none is stored or the file cannot
/// be read.
ProgressLayout LoadProgressLayout(const std::string& file = {});
/// Stores the layout; for after a SaveSettings that returned 1, which has
/// told of a file that cannot be written.
void SaveProgressLayout(const ProgressLayout& layout, const std::string& file = {});

/// Writes the values selected by `mask` from `controls`. 1 only when the
/// file was written (a value that cannot be stored faithfully shows its
/// own message and the others are still written); 0 when the file cannot
/// be written, after a message naming the file and the reason.
int SaveSettings(SettingsControls& controls, uint32_t mask,
                 const std::string& file = {});
