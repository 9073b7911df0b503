// The environment a privileged skav-server keeps, the folders it trusts and
// the line it prints about them.
#include "console/privileged_start.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

TEST(KeptWhenPrivileged, KeepsTheDisplaySessionHomeLanguageAndTime) {
  for (const char* entry : {
           "DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", "XAUTHORITY=/home/op/.Xauthority",
           "XDG_RUNTIME_DIR=/run/user/1000", "XDG_SESSION_TYPE=x11", "HOME=/home/op",
           "JOURNAL_STREAM=8:12345", "LANG=de_DE.UTF-8", "LC_ALL=C", "LC_MESSAGES=fr_FR",
           "LC_TIME=", "TZ=Europe/Berlin", "TZ=:Europe/Berlin", "TZ=UTC",
           "TZ=CET-1CEST,M3.5.0,M10.5.0/3", "TZ=", "HOME=",
       }) {
    EXPECT_TRUE(KeptWhenPrivileged(entry)) << entry;
  }
}

TEST(KeptWhenPrivileged, DropsWhatChoosesCodeFilesOrPluginsAndAllElse) {
  for (const char* entry : {
           // The toolkit's plugin choices and paths.
           "QT_PLUGIN_PATH=/home/op/p", "QT_QPA_PLATFORM_PLUGIN_PATH=/home/op/p",
           "QT_QPA_GENERIC_PLUGINS=probe", "QT_QPA_PLATFORMTHEME=gtk3", "QT_STYLE_OVERRIDE=x",
           "QT_IM_MODULE=ibus", "QT_DEBUG_PLUGINS=1", "QT_LOGGING_RULES=*=true",
           "QT_LOGGING_CONF=/home/op/l.ini", "QT_QPA_PLATFORM_PLUGIN_PATH=",
           // Loaders, drivers and libraries that read modules or files.
           "LD_PRELOAD=/home/op/x.so", "LD_LIBRARY_PATH=/home/op", "GCONV_PATH=/home/op",
           "LIBGL_DRIVERS_PATH=/home/op", "__EGL_VENDOR_LIBRARY_DIRS=/home/op",
           "GIO_EXTRA_MODULES=/home/op", "GTK_PATH=/home/op", "FONTCONFIG_FILE=/home/op/f",
           "XDG_DATA_DIRS=/home/op", "XDG_CONFIG_HOME=/home/op", "XDG_CURRENT_DESKTOP=KDE",
           "DBUS_SESSION_BUS_ADDRESS=unixexec:path=/home/op/x", "ICU_DATA=/home/op",
           "PATH=/home/op/bin:/usr/bin", "LOCPATH=/home/op", "LANGUAGE=de",
           // Near misses of kept names, and entries that are no entries.
           "DISPLAY_=:0", "display=:0", "HOMEDIR=/home/op", "LC_=C", "LC_all=C", "LCALL=C",
           "LANGX=C", "TZDIR=/home/op", "NOEQUALS", "=value", "",
       }) {
    EXPECT_FALSE(KeptWhenPrivileged(entry)) << entry;
  }
}

TEST(KeptWhenPrivileged, AskedPlatformStaysOnlyWhenItIsOneOfThree) {
  EXPECT_TRUE(KeptWhenPrivileged("QT_QPA_PLATFORM=xcb"));
  EXPECT_TRUE(KeptWhenPrivileged("QT_QPA_PLATFORM=wayland"));
  EXPECT_TRUE(KeptWhenPrivileged("QT_QPA_PLATFORM=offscreen"));
  for (const char* entry : {
           "QT_QPA_PLATFORM=", "QT_QPA_PLATFORM=minimal", "QT_QPA_PLATFORM=vnc",
           "QT_QPA_PLATFORM=probe", "QT_QPA_PLATFORM=XCB", "QT_QPA_PLATFORM=xcb ",
           "QT_QPA_PLATFORM= xcb", "QT_QPA_PLATFORM=wayland;xcb",
           "QT_QPA_PLATFORM=offscreen:fontengine=x",
           "QT_QPA_PLATFORM=xcb:nograb", "QT_QPA_PLATFORM=/home/op/libqxcb.so",
       }) {
    EXPECT_FALSE(KeptWhenPrivileged(entry)) << entry;
  }
}

TEST(KeptWhenPrivileged, LocalesAndZonesAreNamesNotTheUsersFiles) {
  for (const char* entry : {
           "LANG=/home/op/locale", "LANG=../../home/op/l", "LC_ALL=de_DE/../../x",
           "LC_CTYPE=./x", "TZ=/home/op/zone", "TZ=:/home/op/zone", "TZ=/usr/share/zoneinfo/UTC",
           "TZ=../../home/op/zone", "TZ=Europe/../../../home/op/z", "TZ=:..",
       }) {
    EXPECT_FALSE(KeptWhenPrivileged(entry)) << entry;
  }
}

// Runs ReduceEnvironment over `entries` as the whole environment and
// returns what is left; the process's own environment comes back after.
std::vector<std::string> Reduced(std::vector<std::string> entries, size_t* dropped) {
  std::vector<std::string> saved;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) saved.emplace_back(*e);
  std::vector<char*> env;
  for (std::string& e : entries) env.push_back(e.data());
  env.push_back(nullptr);
  environ = env.data();
  *dropped = ReduceEnvironment();
  std::vector<std::string> left;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) left.emplace_back(*e);
  clearenv();
  for (const std::string& e : saved) {
    setenv(e.substr(0, e.find('=')).c_str(), e.c_str() + e.find('=') + 1, 1);
  }
  return left;
}

TEST(ReduceEnvironment, KeepsTheTrustedEntriesInOrderAndCountsTheRest) {
  size_t dropped = 0;
  const std::vector<std::string> left = Reduced(
      {"LD_PRELOAD=/home/op/x.so", "HOME=/home/op", "QT_PLUGIN_PATH=/home/op/p",
       "DISPLAY=:1", "QT_QPA_PLATFORM=minimal", "LANG=C.UTF-8"},
      &dropped);
  EXPECT_EQ(left, (std::vector<std::string>{"HOME=/home/op", "DISPLAY=:1", "LANG=C.UTF-8"}));
  EXPECT_EQ(dropped, 3u);
}

TEST(ReduceEnvironment, TheFirstEntryOfANameDecidesAndRepeatsGo) {
  // getenv reads the first entry; a later one must not slip in when the
  // first is refused, nor stay beside a kept one for whoever walks the
  // whole list.
  size_t dropped = 0;
  const std::vector<std::string> left = Reduced(
      {"TZ=/home/op/zone", "HOME=/home/op", "TZ=Europe/Berlin", "HOME=/home/other",
       "NOEQUALS", "DISPLAY=:0"},
      &dropped);
  EXPECT_EQ(left, (std::vector<std::string>{"HOME=/home/op", "DISPLAY=:0"}));
  EXPECT_EQ(dropped, 4u);
  EXPECT_EQ(Reduced({}, &dropped), std::vector<std::string>{});
  EXPECT_EQ(dropped, 0u);
}

TEST(TrustedFolder, OnlyRootsFolderThatNoOneElseMayWrite) {
  EXPECT_TRUE(TrustedFolder(0, S_IFDIR | 0755));
  EXPECT_TRUE(TrustedFolder(0, S_IFDIR | 0700));
  EXPECT_TRUE(TrustedFolder(0, S_IFDIR | 0555));
  EXPECT_FALSE(TrustedFolder(0, S_IFDIR | 0775));       // a group writes
  EXPECT_FALSE(TrustedFolder(0, S_IFDIR | 0757));       // anyone writes
  EXPECT_FALSE(TrustedFolder(0, S_IFDIR | S_ISVTX | 0777));  // like /tmp
  EXPECT_FALSE(TrustedFolder(1000, S_IFDIR | 0755));    // a user's own
  EXPECT_FALSE(TrustedFolder(1000, S_IFDIR | 0555));
}

TEST(ReducedEnvironmentLine, SaysOneVariableInTheSingular) {
  EXPECT_EQ(ReducedEnvironmentLine(1),
            "Running with network privileges: the environment was reduced to a trusted set "
            "(1 variable dropped).\r\n");
  EXPECT_EQ(ReducedEnvironmentLine(0),
            "Running with network privileges: the environment was reduced to a trusted set "
            "(0 variables dropped).\r\n");
}

}  // namespace
