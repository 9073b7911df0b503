// The settings store over QSettings (an INI file on Linux): the value
// names, contents and read limits stay those of the operator's
// configuration; every write is confirmed by the file's status after sync.
#include "console/settings/settings_store.h"

#include "console/settings/stored_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

#include "report/debug_print.h"
#include "console/password.h"
#include "protocol/region.h"
#include "protocol/server_thread.h"

namespace {

// Read buffers, terminating zero included. A longer value does not fit and
// counts as unreadable, as a read into a buffer that is too small would.
constexpr size_t kPasswordBuffer = 65;
constexpr size_t kInterfaceBuffer = 129;
constexpr size_t kPathBuffer = 261;
constexpr size_t kMaxPasswordChars = 32;

const char kPasswordValue[] = "Supervisor Password";
const char kInterfaceValue[] = "Interface Name";
const char kRegionValue[] = "Region";
const char kFirmwareValue[] = "Firmware Path";
const char* const kStringTableValue[6] = {
    "String Table 1 Path", "String Table 2 Path", "String Table 3 Path",
    "String Table 4 Path", "String Table 5 Path", "String Table 6 Path",
};
const char kLogEnableValue[] = "Log Enable";
const char kLogPathValue[] = "Log Path";
// Set in the window from the "Advanced" menu, not from a control of its own.
const char kRecordPathValue[] = "Record Path";
// Set by hand in the file: the window neither shows nor writes it.
const char kMaxClientsValue[] = "Max Clients";

const char kReadFailure[] = "Unable to read the settings file '%s': %s";
const char kWriteFailure[] = "Unable to write the settings file '%s': %s";

std::unique_ptr<QSettings> OpenStore(const std::string& file) {
  std::unique_ptr<QSettings> store;
  if (file.empty()) {
    store = std::make_unique<QSettings>(QSettings::NativeFormat,
                                        QSettings::SystemScope, "KESTRAN",
                                        "SKAVD");
  } else {
    store = std::make_unique<QSettings>(QString::fromUtf8(file),
                                        QSettings::IniFormat);
  }
  // Only our own file counts: a value found in the organisation-wide
  // fallback file would be read but never written back there.
  store->setFallbacksEnabled(false);
  return store;
}

std::string StorePath(const std::string& file) {
  return file.empty() ? MachineSettingsFile() : file;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Why the file could not be written, in words an operator can act on.
// QSettings only says "access error", so look at the folder and the file.
std::string WriteFailureReason(const std::string& path) {
  const std::string folder = FolderOf(path);
  struct stat st;
  std::string reason;
  int err = 0;
  if (stat(folder.c_str(), &st) != 0) {
    err = errno;
    reason = err == ENOENT
                 ? "the folder '" + folder + "' does not exist and cannot be created"
                 : "the folder '" + folder + "' cannot be used (" + std::strerror(err) + ")";
  } else if (!S_ISDIR(st.st_mode)) {
    reason = "'" + folder + "' is not a folder";
  } else if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    // The file is written anew beside the old one and a lock file is
    // created there, so a writable file in a read-only folder is not enough.
    err = errno;
    reason = "the folder '" + folder + "' is not writable (" + std::strerror(err) + ")";
  } else if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    reason = "it is not a regular file";
  } else if (Exists(path) && faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
    err = errno;
    reason = std::string("the file is not readable and writable (") + std::strerror(err) + ")";
  } else {
    reason = "the file could not be written (is the disk full?)";
  }
  if (err == EACCES || err == EPERM) {
    reason += ". Run as root, or let the operators write the folder and the file"
              " (skav-server --help tells how)";
  }
  return reason;
}

// Qt reads almost anything as INI, and a file it has once read stays in
// its in-process cache without its parse error being reported again. Its
// parse error is no judge either way: Qt also reports one for a file it
// reads well, after skipping a line it does not take (a UTF-8 byte-order
// mark in front of the first line, a comment that starts with '#'). This
// check looks at the file itself: every line blank, a comment, a
// [section], a key=value line, or the continuation of a line that ends in
// a backslash; a byte-order mark may open it. A file that fails it is not
// ours to read or overwrite.
bool IsSettingsText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // access problems are reported on their own
  std::string line;
  bool continuation = false;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool continued = !line.empty() && line.back() == '\\';
    if (continuation) {
      continuation = continued;
      continue;
    }
    continuation = continued;
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == ';' || line[start] == '#') continue;
    const size_t last = line.find_last_not_of(" \t");
    if (line[start] == '[') {
      if (line[last] != ']') return false;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == start) return false;
  }
  return true;
}

enum class Read { kOk, kMissing, kFailed };

bool IsNumberType(int typeId) {
  return typeId == QMetaType::Int || typeId == QMetaType::UInt ||
         typeId == QMetaType::LongLong || typeId == QMetaType::ULongLong;
}

// A text value. Values come back as strings in a new process; a number is
// accepted too, as the type of a stored value is not examined on reading.
Read ReadText(const QSettings& store, const char* name, size_t buffer,
              std::string* out) {
  const QString key = QString::fromLatin1(name);
  if (!store.contains(key)) return Read::kMissing;
  const QVariant value = store.value(key);
  QByteArray bytes;
  const int type = value.typeId();
  if (type == QMetaType::QString || IsNumberType(type)) {
    bytes = value.toString().toUtf8();
  } else if (type == QMetaType::QByteArray) {
    bytes = value.toByteArray();
  } else {
    // A list ("a, b" unquoted in the file) or a structured value is no text.
    return Read::kFailed;
  }
  if (static_cast<size_t>(bytes.size()) >= buffer) return Read::kFailed;
  // A string read ends at its first zero byte.
  out->assign(bytes.constData(), std::strlen(bytes.constData()));
  return Read::kOk;
}

// A 32-bit number: an integer written in this process, or its decimal text
// read back from the file. Anything else ("yes", "3x", " 3", 2^32) is
// unreadable.
Read ReadNumber(const QSettings& store, const char* name, int32_t* out) {
  const QString key = QString::fromLatin1(name);
  if (!store.contains(key)) return Read::kMissing;
  const QVariant value = store.value(key);
  const int type = value.typeId();
  long long n = 0;
  if (IsNumberType(type)) {
    bool ok = false;
    n = value.toLongLong(&ok);
    if (!ok) return Read::kFailed;
  } else if (type == QMetaType::QString) {
    const QByteArray text = value.toString().toUtf8();
    const char* first = text.constData();
    const char* last = first + text.size();
    auto [end, ec] = std::from_chars(first, last, n, 10);
    if (text.isEmpty() || ec != std::errc() || end != last) return Read::kFailed;
  } else {
    return Read::kFailed;
  }
  // Either reading of 32 bits: -1 and 4294967295 are the same word.
  if (n < std::numeric_limits<int32_t>::min() ||
      n > static_cast<long long>(std::numeric_limits<uint32_t>::max())) {
    return Read::kFailed;
  }
  *out = static_cast<int32_t>(static_cast<uint32_t>(n));
  return Read::kOk;
}

// True when the text reads back byte for byte: valid UTF-8 without a zero
// byte (the store keeps Unicode text and a read ends at a zero).
bool StoresFaithfully(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
  return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Cuts a path to 260 bytes without splitting a UTF-8 character, so that
// what is written always fits the read buffer.
std::string CutPath(std::string text) {
  const size_t limit = kPathBuffer - 1;
  if (text.size() <= limit) return text;
  text.resize(limit);
  size_t start = limit;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start > 0) {
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (start - 1 + need > limit) text.resize(start - 1);
  }
  return text;
}

void WriteText(QSettings& store, const char* name, const std::string& text) {
  store.setValue(QString::fromLatin1(name),
                 QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void WriteNumber(QSettings& store, const char* name, int32_t n) {
  store.setValue(QString::fromLatin1(name), n);
}

// The sealed password, or empty with false when it would not read back as
// the same password.
bool SealForStore(const std::string& password, std::string* sealed) {
  if (password.size() > kMaxPasswordChars || password.find('\0') != std::string::npos) {
    return false;
  }
  char buf[2 * kMaxPasswordChars + 1];
  SealPassword(password.c_str(), buf);
  char back[kMaxPasswordChars + 1];
  if (std::strlen(buf) >= kPasswordBuffer || !UnsealPassword(buf, back) ||
      password != back) {
    return false;
  }
  *sealed = buf;
  return true;
}

// The store of a value the window does not write; nullptr when the
// file cannot be read at all, which has had its message from LoadSettings,
// so that the value's default stands silently.
std::unique_ptr<QSettings> OpenReadableStore(const std::string& file) {
  const std::string path = StorePath(file);
  if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0 || !IsSettingsText(path))
    return nullptr;
  return OpenStore(file);
}

}  // namespace

StoredConfig ReadStoredConfig(const std::string& file) {
  StoredConfig c;
  std::unique_ptr<QSettings> store = OpenReadableStore(file);
  if (!store) return c;
  // Unreadable values read as missing: only a difference matters here.
  ReadText(*store, kInterfaceValue, kInterfaceBuffer, &c.interfaceName);
  ReadNumber(*store, kRegionValue, &c.region);
  ReadText(*store, kFirmwareValue, kPathBuffer, &c.firmwarePath);
  for (int k = 0; k < 6; ++k)
    ReadText(*store, kStringTableValue[k], kPathBuffer, &c.stringTablePaths[k]);
  int32_t enabled = 0;
  ReadNumber(*store, kLogEnableValue, &enabled);
  c.logEnabled = enabled != 0;
  ReadText(*store, kLogPathValue, kPathBuffer, &c.logPath);
  ReadText(*store, kRecordPathValue, kPathBuffer, &c.recordPath);
  return c;
}

std::string LoadInterfaceName(const std::string& file) {
  std::unique_ptr<QSettings> store = OpenReadableStore(file);
  std::string text;
  if (!store || ReadText(*store, kInterfaceValue, kInterfaceBuffer, &text) != Read::kOk) return {};
  return text;
}

bool LoadSupervisorPassword(const std::string& file, std::string* password) {
  password->clear();
  const std::string path = StorePath(file);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
  std::unique_ptr<QSettings> store = OpenReadableStore(file);
  if (!store) return false;
  std::string text;
  switch (ReadText(*store, kPasswordValue, kPasswordBuffer, &text)) {
    case Read::kMissing:
      return true;
    case Read::kFailed:
      return false;
    case Read::kOk:
      break;
  }
  char plain[kPasswordBuffer / 2 + 1];
  if (!UnsealPassword(text.c_str(), plain)) return false;
  *password = plain;
  return true;
}

int32_t LoadMaxClients(const std::string& file) {
  std::unique_ptr<QSettings> store = OpenReadableStore(file);
  if (!store) return kDefaultMaxLiveClients;
  const std::string path = StorePath(file);
  int32_t n = 0;
  switch (ReadNumber(*store, kMaxClientsValue, &n)) {
    case Read::kMissing:
      return kDefaultMaxLiveClients;
    case Read::kOk:
      if (n >= 1 && n <= kMaxLiveClientsLimit) return n;
      [[fallthrough]];
    case Read::kFailed:
      break;
  }
  ErrorBox("The \"%s\" setting in '%s' is not a number from 1 to %d; %d devices are served "
           "at once at most",
           kMaxClientsValue, path.c_str(), kMaxLiveClientsLimit, kDefaultMaxLiveClients);
  return kDefaultMaxLiveClients;
}

std::string MachineSettingsFile() {
  QSettings store(QSettings::NativeFormat, QSettings::SystemScope, "KESTRAN",
                  "SKAVD");
  return store.fileName().toStdString();
}

int LoadSettings(SettingsControls& controls, const std::string& file) {
  controls.SetSupervisorPassword("");

  const std::string path = StorePath(file);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    // Nothing stored yet: the defaults stand, without a word.
    if (errno == ENOENT) return 1;
    ErrorBox(kReadFailure, path.c_str(), std::strerror(errno));
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    ErrorBox(kReadFailure, path.c_str(), "it is not a regular file");
    return 0;
  }
  if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) {
    ErrorBox(kReadFailure, path.c_str(), std::strerror(errno));
    return 0;
  }
  std::unique_ptr<QSettings> store = OpenStore(file);
  // QSettings reads on first use; only then does its status tell.
  store->allKeys();
  if (!IsSettingsText(path)) {
    ErrorBox(kReadFailure, path.c_str(), "it is not a settings file that can be read");
    return 0;
  }
  if (store->status() == QSettings::AccessError) {
    ErrorBox(kReadFailure, path.c_str(), "access denied");
    return 0;
  }

  std::string text;
  switch (ReadText(*store, kPasswordValue, kPasswordBuffer, &text)) {
    case Read::kOk: {
      char plain[kPasswordBuffer / 2 + 1];
      if (!UnsealPassword(text.c_str(), plain)) {
        ErrorBox("Fail to decrypt the supervisor password");
        controls.SetSupervisorPassword("");
        return 0;
      }
      controls.SetSupervisorPassword(plain);
      break;
    }
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the Supervisor Password setting");
      return 0;
  }

  switch (ReadText(*store, kInterfaceValue, kInterfaceBuffer, &text)) {
    case Read::kOk: {
      if (text.empty()) break;
      const int count = controls.InterfaceCount();
      bool found = false;
      for (int i = 0; i < count && !found; ++i) {
        if (controls.InterfaceDescription(i) == text) {
          found = true;
          if (count > 1) controls.SelectInterfaceItem(i + 1);
        }
      }
      if (!found) {
        controls.InterfaceNotListed(text);
      }
      break;
    }
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the Interface setting");
      break;
  }

  int32_t number = 0;
  switch (ReadNumber(*store, kRegionValue, &number)) {
    case Read::kOk:
      controls.SelectRegionByName(RegionName(number));
      break;
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the Region setting");
      break;
  }

  switch (ReadText(*store, kFirmwareValue, kPathBuffer, &text)) {
    case Read::kOk:
      controls.SetFirmwarePath(text);
      break;
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the Firmware Path setting");
      break;
  }

  for (int table = 1; table <= 6; ++table) {
    switch (ReadText(*store, kStringTableValue[table - 1], kPathBuffer, &text)) {
      case Read::kOk:
        controls.SetStringTablePath(table, text);
        break;
      case Read::kMissing:
        break;
      case Read::kFailed:
        ErrorBox("Fail to retrieve the String Table %d Path setting", table);
        break;
    }
  }

  switch (ReadNumber(*store, kLogEnableValue, &number)) {
    case Read::kOk:
      controls.SetLogEnabled(number != 0);
      break;
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the Log Enable setting");
      break;
  }

  switch (ReadText(*store, kLogPathValue, kPathBuffer, &text)) {
    case Read::kOk:
      controls.SetLogPath(text);
      if (controls.LogEnabled()) controls.OpenLogFile();
      break;
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the Log File Path setting");
      break;
  }

  switch (ReadText(*store, kRecordPathValue, kPathBuffer, &text)) {
    case Read::kOk:
      controls.SetRecordPath(text);
      break;
    case Read::kMissing:
      break;
    case Read::kFailed:
      ErrorBox("Fail to retrieve the %s setting", kRecordPathValue);
      break;
  }
  return 1;
}

namespace {
constexpr char kProgressOpenValue[] = "Progress Window Open";
constexpr char kProgressColumnsValue[] = "Progress Columns";
constexpr char kProgressGeometryValue[] = "Progress Geometry";
}  // namespace

ProgressLayout LoadProgressLayout(const std::string& file) {
  ProgressLayout layout;
  std::unique_ptr<QSettings> store = OpenReadableStore(file);
  if (store == nullptr) return layout;
  layout.open = store->value(kProgressOpenValue).toInt() != 0;
  layout.columns = store->value(kProgressColumnsValue).toByteArray().toStdString();
  layout.geometry = store->value(kProgressGeometryValue).toByteArray().toStdString();
  return layout;
}

void SaveProgressLayout(const ProgressLayout& layout, const std::string& file) {
  std::unique_ptr<QSettings> store = OpenStore(file);
  store->setValue(kProgressOpenValue, layout.open ? 1 : 0);
  store->setValue(kProgressColumnsValue, QByteArray::fromStdString(layout.columns));
  if (!layout.geometry.empty())
    store->setValue(kProgressGeometryValue, QByteArray::fromStdString(layout.geometry));
}

int SaveSettings(SettingsControls& controls, uint32_t mask, const std::string& file) {
  const std::string path = StorePath(file);
  std::unique_ptr<QSettings> store = OpenStore(file);
  store->allKeys();
  if (!IsSettingsText(path)) {
    // Not ours to overwrite: it may be some other file named by mistake.
    ErrorBox(kWriteFailure, path.c_str(),
             "it is not a settings file that can be read (correct or remove it)");
    return 0;
  }
  if (store->status() == QSettings::FormatError) {
    // Qt keeps a parse error for the life of its object, and then no
    // longer records a write that fails. The file is parsed and cached
    // now, and a second object over it starts without that error; it is
    // made while the first still holds the cache.
    std::unique_ptr<QSettings> fresh = OpenStore(file);
    store = std::move(fresh);
  }
  // isWritable also creates the folder of a file that does not exist yet.
  if (store->status() != QSettings::NoError || !store->isWritable()) {
    ErrorBox(kWriteFailure, path.c_str(), WriteFailureReason(path).c_str());
    return 0;
  }

  if (mask & SETTING_PASSWORD) {
    std::string sealed;
    if (SealForStore(controls.SupervisorPassword(), &sealed)) {
      WriteText(*store, kPasswordValue, sealed);
    } else {
      ErrorBox("Fail to save the Supervisor Password.");
    }
  }

  if (mask & SETTING_INTERFACE) {
    const std::string text = ChosenInterface(controls);
    if (text.size() < kInterfaceBuffer && StoresFaithfully(text)) {
      WriteText(*store, kInterfaceValue, text);
    } else {
      ErrorBox("Fail to save the Interface: %s", text.c_str());
    }
  }

  if (mask & SETTING_REGION) WriteNumber(*store, kRegionValue, controls.SelectedRegionCode());

  if (mask & SETTING_FIRMWARE) {
    const std::string text = CutPath(controls.FirmwarePath());
    if (StoresFaithfully(text)) {
      WriteText(*store, kFirmwareValue, text);
    } else {
      ErrorBox("Fail to save the Firmware Path: %s", text.c_str());
    }
  }

  for (int table = 1; table <= 6; ++table) {
    if (!(mask & (SETTING_STRING_TABLE_1 << (table - 1)))) continue;
    const std::string text = CutPath(controls.StringTablePath(table));
    if (StoresFaithfully(text)) {
      WriteText(*store, kStringTableValue[table - 1], text);
    } else {
      ErrorBox("Fail to save the String Table Path %d", table);
    }
  }

  if (mask & SETTING_LOG_ENABLE) {
    WriteNumber(*store, kLogEnableValue, controls.LogEnabled() ? 1 : 0);
  }

  if (mask & SETTING_LOG_PATH) {
    const std::string text = CutPath(controls.LogPath());
    if (StoresFaithfully(text)) {
      WriteText(*store, kLogPathValue, text);
    } else {
      ErrorBox("Fail to save the Log File Path setting: %s", text.c_str());
    }
  }

  if (mask & SETTING_RECORD_PATH) {
    const std::string text = CutPath(controls.RecordPath());
    if (StoresFaithfully(text)) {
      WriteText(*store, kRecordPathValue, text);
    } else {
      ErrorBox("Fail to save the %s setting: %s", kRecordPathValue, text.c_str());
    }
  }

  // QSettings writes only here, and tells of a failure only in its status.
  store->sync();
  if (store->status() != QSettings::NoError) {
    ErrorBox(kWriteFailure, path.c_str(), WriteFailureReason(path).c_str());
    return 0;
  }
  return 1;
}

void SettingsControls::InterfaceNotListed(const std::string& stored) {
  ErrorBox("Previously selected Interface '%s' is not available now", stored.c_str());
}
