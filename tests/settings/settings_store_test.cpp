// The settings store: what survives a round trip through the file, what a
// first run, a stale or damaged value and an unwritable file do.
#include "console/settings/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "console/password.h"
#include "console/settings/plain_controls.h"
#include "protocol/server_thread.h"
#include "test_util.h"

namespace {

// Controls that count the log file openings and note the path they saw.
class TestControls : public PlainControls {
 public:
  using PlainControls::PlainControls;
  bool OpenLogFile() override {
    ++openLogCalls;
    openedPath = LogPath();
    return true;
  }
  int openLogCalls = 0;
  std::string openedPath;
};

std::string Joined(const std::vector<std::string>& messages) {
  std::string all;
  for (const auto& m : messages) all += m + "|";
  return all;
}

// Everything the store touches, as one comparable text.
std::string Describe(const TestControls& c, const std::vector<std::string>& messages) {
  std::string d = "password=" + c.SupervisorPassword() +
                  "\ninterfaceItem=" + std::to_string(c.InterfaceSelection()) +
                  "\nregionItem=" + std::to_string(c.RegionSelection()) +
                  "\nfirmware=" + c.FirmwarePath();
  for (int t = 1; t <= 6; ++t) d += "\nst" + std::to_string(t) + "=" + c.StringTablePath(t);
  d += "\nlogEnabled=" + std::to_string(c.LogEnabled()) + "\nlogPath=" + c.LogPath() +
       "\nopenLogCalls=" + std::to_string(c.openLogCalls) + " " + c.openedPath +
       "\nrecordPath=" + c.RecordPath() +
       "\nmessages=" + Joined(messages);
  return d;
}

// Runs `body` in a child process and returns what it returned. A value
// written in this process may still sit in Qt's in-process cache with its
// original type; a new process sees only the file.
std::string InChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string out = body();
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return out;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // A file name not used before: Qt caches a file it has read by name and
  // takes a rewrite of the same size within its time resolution for the
  // old content.
  std::string Fresh() { return dir_.File("s" + std::to_string(++files_) + ".conf"); }

  int files_ = 0;
  TempDir dir_;
  RecordingErrorSink errors_;
  L2_IfList threeIfs_ = MakeIfList({"veth-a", "veth-b", "Intel(R) Ethernet 'x'"});
  L2_IfList oneIf_ = MakeIfList({"veth-a"});
};

TEST_F(SettingsStoreTest, EveryValueOfTheControlsSurvivesARoundTripIntoANewProcess) {
  TestControls saved(threeIfs_);
  saved.SetSupervisorPassword("S\xc3\xa4p3r Secret! ~`\"'=;#[x]");
  saved.SelectInterfaceItem(3);  // entry 2
  saved.SelectRegionItem(9);     // "JP"
  saved.SetFirmwarePath("/srv/images/fw, v2 \"final\"; #1.bin");
  saved.SetStringTablePath(1, "/srv/images/Zeichentabelle-\xc3\xa9.bin");
  saved.SetStringTablePath(2, "");
  saved.SetStringTablePath(3, "/" + std::string(259, 'p'));  // 260 bytes: the limit
  saved.SetStringTablePath(4, "  leading spaces");
  saved.SetStringTablePath(5, "C:\\back\\slash");
  saved.SetStringTablePath(6, "/tmp/[General]=x");
  saved.SetLogEnabled(true);
  saved.SetLogPath("/var/log/skav/log file.txt");
  saved.SetRecordPath("/var/lib/skav/devices; \"line 3\".jsonl");
  const std::string file = dir_.File("SKAVD.conf");

  ASSERT_EQ(SaveSettings(saved, SETTING_ALL, file), 1);
  EXPECT_TRUE(errors_.Messages().empty()) << Joined(errors_.Messages());

  const L2_IfList& list = threeIfs_;
  const std::string loaded = InChild([&] {
    RecordingErrorSink childErrors;
    TestControls c(list);
    const int rc = LoadSettings(c, file);
    return "rc=" + std::to_string(rc) + "\n" + Describe(c, childErrors.Messages());
  });
  saved.openLogCalls = 1;  // a checked box with a path opens the file
  saved.openedPath = saved.LogPath();
  EXPECT_EQ(loaded, "rc=1\n" + Describe(saved, {}));
}

TEST_F(SettingsStoreTest, FirstRunKeepsTheDefaultsSilentlyAndCreatesNothing) {
  const std::string file = dir_.File("sub/SKAVD.conf");
  TestControls c(threeIfs_);
  c.SetSupervisorPassword("left over");

  EXPECT_EQ(LoadSettings(c, file), 1);
  EXPECT_TRUE(errors_.Messages().empty());
  EXPECT_EQ(c.SupervisorPassword(), "");
  EXPECT_EQ(c.InterfaceSelection(), 0);  // "Select one..."
  EXPECT_EQ(c.RegionSelection(), -1);
  EXPECT_EQ(c.FirmwarePath(), "");
  EXPECT_FALSE(c.LogEnabled());
  EXPECT_EQ(c.openLogCalls, 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("sub")));
}

TEST_F(SettingsStoreTest, StoredInterfaceMatchesByExactDescription) {
  std::string file;
  WriteFile(file = Fresh(), "[General]\nInterface Name=veth-b\n");

  TestControls several(threeIfs_);
  EXPECT_EQ(LoadSettings(several, file), 1);
  EXPECT_EQ(several.InterfaceSelection(), 2);  // behind "Select one..."

  const L2_IfList justB = MakeIfList({"veth-b"});
  TestControls single(justB);
  EXPECT_EQ(LoadSettings(single, file), 1);
  EXPECT_EQ(single.InterfaceSelection(), 0);

  // Case matters: "VETH-B" is another interface.
  WriteFile(file = Fresh(), "[General]\nInterface Name=VETH-B\n");
  TestControls other(threeIfs_);
  EXPECT_EQ(LoadSettings(other, file), 1);
  EXPECT_EQ(other.InterfaceSelection(), 0);
  EXPECT_EQ(Joined(errors_.Messages()),
            "Previously selected Interface 'VETH-B' is not available now|");
}

TEST_F(SettingsStoreTest, StoredInterfaceNoLongerPresentIsReportedAndTheRestIsRead) {
  std::string file = Fresh();
  WriteFile(file,
            "[General]\nInterface Name=veth-gone\nFirmware Path=/fw.bin\nRegion=2\n");

  TestControls c(threeIfs_);
  EXPECT_EQ(LoadSettings(c, file), 1);
  EXPECT_EQ(Joined(errors_.Messages()),
            "Previously selected Interface 'veth-gone' is not available now|");
  EXPECT_EQ(c.InterfaceSelection(), 0);
  EXPECT_EQ(c.FirmwarePath(), "/fw.bin");
  EXPECT_EQ(c.SelectedRegionCode(), 2);

  L2_IfList none;
  TestControls empty(none);
  EXPECT_EQ(LoadSettings(empty, file), 1);
  EXPECT_EQ(errors_.Messages().size(), 2u);
  EXPECT_EQ(empty.InterfaceSelection(), -1);
}

TEST_F(SettingsStoreTest, SealedPasswordIsReadUpToSixtyFourCharacters) {
  std::string file = Fresh();
  // 'A' + 'Z' - 32 = 0x7b, 'b' + 'A' - 32 = 0x83: "Ab".
  WriteFile(file = Fresh(), "[General]\nSupervisor Password=7b83\nFirmware Path=/fw\n");
  TestControls c(oneIf_);
  EXPECT_EQ(LoadSettings(c, file), 1);
  EXPECT_EQ(c.SupervisorPassword(), "Ab");

  char sealed[65];
  SealPassword("abcdefghijklmnopqrstuvwxyz012345", sealed);  // 32 characters
  ASSERT_EQ(std::strlen(sealed), 64u);
  WriteFile(file = Fresh(), std::string("[General]\nSupervisor Password=") + sealed +
                      "\nFirmware Path=/fw\n");
  TestControls full(oneIf_);
  EXPECT_EQ(LoadSettings(full, file), 1);
  EXPECT_EQ(full.SupervisorPassword(), "abcdefghijklmnopqrstuvwxyz012345");
  EXPECT_EQ(full.FirmwarePath(), "/fw");
  EXPECT_TRUE(errors_.Messages().empty()) << Joined(errors_.Messages());
}

TEST_F(SettingsStoreTest, SealedPasswordLongerThanSixtyFourCannotBeRead) {
  std::string file = Fresh();
  std::string sealed;
  for (int i = 0; i < 33; ++i) sealed += "7b";  // 66 characters
  WriteFile(file = Fresh(), "[General]\nSupervisor Password=" + sealed +
                      "\nInterface Name=veth-b\nFirmware Path=/fw\nLog Enable=1\n"
                      "Log Path=/log.txt\n");
  TestControls c(threeIfs_);
  EXPECT_EQ(LoadSettings(c, file), 0);
  EXPECT_EQ(Joined(errors_.Messages()), "Fail to retrieve the Supervisor Password setting|");
  EXPECT_EQ(c.SupervisorPassword(), "");
  // Nothing behind the password is read.
  EXPECT_EQ(c.InterfaceSelection(), 0);
  EXPECT_EQ(c.FirmwarePath(), "");
  EXPECT_FALSE(c.LogEnabled());
  EXPECT_EQ(c.openLogCalls, 0);
}

TEST_F(SettingsStoreTest, SealedPasswordThatDoesNotUnsealEndsTheLoad) {
  std::string file = Fresh();
  for (const char* bad : {"7g", "7b8", "zz"}) {
    WriteFile(file = Fresh(), std::string("[General]\nSupervisor Password=") + bad +
                        "\nFirmware Path=/fw\n");
    RecordingErrorSink errors;
    TestControls c(oneIf_);
    EXPECT_EQ(LoadSettings(c, file), 0) << bad;
    EXPECT_EQ(Joined(errors.Messages()), "Fail to decrypt the supervisor password|") << bad;
    EXPECT_EQ(c.SupervisorPassword(), "") << bad;
    EXPECT_EQ(c.FirmwarePath(), "") << bad;
  }
}

TEST_F(SettingsStoreTest, EmptySealedPasswordIsTheEmptyPassword) {
  std::string file;
  WriteFile(file = Fresh(), "[General]\nSupervisor Password=\nFirmware Path=/fw\n");
  TestControls c(oneIf_);
  c.SetSupervisorPassword("x");
  EXPECT_EQ(LoadSettings(c, file), 1);
  EXPECT_EQ(c.SupervisorPassword(), "");
  EXPECT_EQ(c.FirmwarePath(), "/fw");
}

TEST_F(SettingsStoreTest, ValuesThatDoNotConvertShowTheirOwnMessageAndKeepTheDefault) {
  std::string file = Fresh();
  WriteFile(file,
            "[General]\n"
            "Region=abc\n"
            "Firmware Path=a, b\n"  // unquoted comma: a list, not a text
            "String Table 2 Path=/st2\n"
            "Log Enable=yes\n"
            "Log Path=/log.txt\n");
  TestControls c(oneIf_);
  EXPECT_EQ(LoadSettings(c, file), 1);
  EXPECT_EQ(Joined(errors_.Messages()),
            "Fail to retrieve the Region setting|"
            "Fail to retrieve the Firmware Path setting|"
            "Fail to retrieve the Log Enable setting|");
  EXPECT_EQ(c.RegionSelection(), -1);
  EXPECT_EQ(c.FirmwarePath(), "");
  EXPECT_EQ(c.StringTablePath(2), "/st2");
  EXPECT_FALSE(c.LogEnabled());
  EXPECT_EQ(c.LogPath(), "/log.txt");
  EXPECT_EQ(c.openLogCalls, 0);
}

TEST_F(SettingsStoreTest, MaxClientsOutlivesTheWindowsSaveAndABadValueFallsBackAloud) {
  const std::string file = Fresh();
  WriteFile(file, "[General]\nRegion=3\nMax Clients=7\n");
  TestControls c(oneIf_);
  ASSERT_EQ(LoadSettings(c, file), 1);
  c.SelectRegionItem(2);
  ASSERT_EQ(SaveSettings(c, SETTING_ALL, file), 1);
  EXPECT_EQ(InChild([&] { return std::to_string(LoadMaxClients(file)); }), "7");
  EXPECT_TRUE(errors_.Messages().empty()) << Joined(errors_.Messages());

  for (const char* bad : {"0", "-5", "1048577", "many"}) {
    const std::string f = Fresh();
    WriteFile(f, std::string("[General]\nMax Clients=") + bad + "\n");
    EXPECT_EQ(LoadMaxClients(f), kDefaultMaxLiveClients) << bad;
  }
  EXPECT_EQ(errors_.Messages().size(), 4u) << Joined(errors_.Messages());
  EXPECT_EQ(LoadMaxClients(Fresh()), kDefaultMaxLiveClients);  // none stored: silent
  EXPECT_EQ(errors_.Messages().size(), 4u);
}

TEST_F(SettingsStoreTest, NumbersMustBeWholeThirtyTwoBitDecimals) {
  std::string file = Fresh();
  struct Case {
    const char* text;
    int32_t region;  // -1: unreadable
  };
  const Case cases[] = {{"3", 3},   {"0", 0},      {"4294967296", -1}, {"3x", -1},
                        {"0x3", -1}, {"+3", -1},   {"", -1},           {"9", 9}};
  for (const Case& k : cases) {
    WriteFile(file = Fresh(), std::string("[General]\nRegion=") + k.text + "\n");
    RecordingErrorSink errors;
    TestControls c(oneIf_);
    EXPECT_EQ(LoadSettings(c, file), 1);
    if (k.region < 0) {
      EXPECT_EQ(Joined(errors.Messages()), "Fail to retrieve the Region setting|") << k.text;
      EXPECT_EQ(c.RegionSelection(), -1) << k.text;
    } else {
      EXPECT_TRUE(errors.Messages().empty()) << k.text;
      EXPECT_EQ(c.SelectedRegionCode(), k.region) << k.text;
    }
  }
  // Code 0 is "Undefined Region": no entry begins with it, nothing selected.
  WriteFile(file = Fresh(), "[General]\nRegion=0\n");
  TestControls zero(oneIf_);
  LoadSettings(zero, file);
  EXPECT_EQ(zero.RegionSelection(), -1);
}

TEST_F(SettingsStoreTest, TextLongerThanItsReadBufferIsUnreadable) {
  std::string file;
  WriteFile(file = Fresh(), "[General]\nInterface Name=" + std::string(129, 'i') +
                      "\nString Table 3 Path=/" + std::string(260, 'p') +
                      "\nString Table 4 Path=/" + std::string(259, 'p') +
                      "\nLog Path=/" + std::string(260, 'l') + "\nLog Enable=1\n");
  TestControls c(oneIf_);
  EXPECT_EQ(LoadSettings(c, file), 1);
  EXPECT_EQ(Joined(errors_.Messages()),
            "Fail to retrieve the Interface setting|"
            "Fail to retrieve the String Table 3 Path setting|"
            "Fail to retrieve the Log File Path setting|");
  EXPECT_EQ(c.StringTablePath(3), "");
  EXPECT_EQ(c.StringTablePath(4).size(), 260u);
  EXPECT_TRUE(c.LogEnabled());
  EXPECT_EQ(c.openLogCalls, 0);
}

TEST_F(SettingsStoreTest, LogFileOpensOnlyWithTheBoxCheckedAndAPathStored) {
  std::string file;
  WriteFile(file = Fresh(), "[General]\nLog Enable=1\n");
  TestControls noPath(oneIf_);
  LoadSettings(noPath, file);
  EXPECT_TRUE(noPath.LogEnabled());
  EXPECT_EQ(noPath.openLogCalls, 0);

  WriteFile(file = Fresh(), "[General]\nLog Enable=0\nLog Path=/l.txt\n");
  TestControls unchecked(oneIf_);
  LoadSettings(unchecked, file);
  EXPECT_EQ(unchecked.openLogCalls, 0);

  WriteFile(file = Fresh(), "[General]\nLog Enable=7\nLog Path=/l.txt\n");
  TestControls checked(oneIf_);
  LoadSettings(checked, file);
  EXPECT_EQ(checked.openLogCalls, 1);
  EXPECT_EQ(checked.openedPath, "/l.txt");
}

TEST_F(SettingsStoreTest, PasswordAloneWritesNothingElse) {
  std::string file;
  WriteFile(file = Fresh(), "[General]\nFirmware Path=/old.bin\n");
  TestControls c(threeIfs_);
  c.SelectInterfaceItem(1);
  c.SelectRegionItem(3);
  c.SetFirmwarePath("/new.bin");
  c.SetStringTablePath(1, "/st1");
  c.SetLogEnabled(true);
  c.SetLogPath("/log");
  c.SetSupervisorPassword("Ab");

  ASSERT_EQ(SaveSettings(c, SETTING_PASSWORD, file), 1);
  EXPECT_TRUE(errors_.Messages().empty());
  EXPECT_EQ(ReadFile(file),
            "[General]\nFirmware%20Path=/old.bin\nSupervisor%20Password=7b83\n");
}

TEST_F(SettingsStoreTest, InterfaceIsSavedAsTheChosenDescriptionOrEmpty) {
  std::string file = Fresh();
  TestControls selectOne(threeIfs_);  // "Select one..." selected
  ASSERT_EQ(SaveSettings(selectOne, SETTING_INTERFACE, file), 1);
  EXPECT_EQ(ReadFile(file), "[General]\nInterface%20Name=\n");

  TestControls single(oneIf_);
  ASSERT_EQ(SaveSettings(single, SETTING_INTERFACE | SETTING_REGION, file), 1);
  EXPECT_EQ(ReadFile(file), "[General]\nInterface%20Name=veth-a\nRegion=0\n");

  TestControls chosen(threeIfs_);
  chosen.SelectInterfaceItem(2);
  ASSERT_EQ(SaveSettings(chosen, SETTING_INTERFACE, file), 1);
  EXPECT_EQ(ReadFile(file), "[General]\nInterface%20Name=veth-b\nRegion=0\n");
}

TEST_F(SettingsStoreTest, WhatCannotBeReadBackIsNotWritten) {
  std::string file = Fresh();
  TestControls c(oneIf_);
  c.SetSupervisorPassword(std::string(33, 'p'));      // over 32 characters
  c.SetFirmwarePath("/fw-\xff.bin");                   // not UTF-8
  c.SetStringTablePath(2, "/" + std::string(300, 's'));  // cut to 260
  c.SetLogPath(std::string("/a\0b", 4));               // a zero byte
  ASSERT_EQ(SaveSettings(c, SETTING_ALL, file), 1);
  EXPECT_EQ(Joined(errors_.Messages()),
            "Fail to save the Supervisor Password.|"
            "Fail to save the Firmware Path: /fw-\xff.bin|"
            "Fail to save the Log File Path setting: /a|");

  RecordingErrorSink errors;
  TestControls back(oneIf_);
  EXPECT_EQ(LoadSettings(back, file), 1);
  EXPECT_TRUE(errors.Messages().empty()) << Joined(errors.Messages());
  EXPECT_EQ(back.StringTablePath(2), "/" + std::string(259, 's'));
  EXPECT_EQ(back.FirmwarePath(), "");
  EXPECT_EQ(back.SupervisorPassword(), "");
}

TEST_F(SettingsStoreTest, CuttingAPathNeverSplitsACharacter) {
  std::string file = Fresh();
  TestControls c(oneIf_);
  // 259 bytes, then a two-byte character that would straddle the limit.
  c.SetFirmwarePath(std::string(259, 'f') + "\xc3\xa9" + "tail");
  ASSERT_EQ(SaveSettings(c, SETTING_FIRMWARE, file), 1);
  EXPECT_TRUE(errors_.Messages().empty()) << Joined(errors_.Messages());
  TestControls back(oneIf_);
  EXPECT_EQ(LoadSettings(back, file), 1);
  EXPECT_EQ(back.FirmwarePath(), std::string(259, 'f'));
}

TEST_F(SettingsStoreTest, SaveCreatesTheFolderOfANewFile) {
  const std::string file = dir_.File("a/b/SKAVD.conf");
  TestControls c(oneIf_);
  c.SetFirmwarePath("/fw");
  EXPECT_EQ(SaveSettings(c, SETTING_FIRMWARE, file), 1);
  EXPECT_EQ(ReadFile(file), "[General]\nFirmware%20Path=/fw\n");
}

TEST_F(SettingsStoreTest, AFolderThatIsAFileFailsTheSaveNamingTheFile) {
  WriteFile(dir_.File("plain"), "x");
  const std::string file = dir_.File("plain/SKAVD.conf");
  TestControls c(oneIf_);
  EXPECT_EQ(SaveSettings(c, SETTING_ALL, file), 0);
  EXPECT_EQ(Joined(errors_.Messages()), "Unable to write the settings file '" + file +
                                            "': '" + dir_.File("plain") +
                                            "' is not a folder|");
}

// The measured trap: the file itself is writable, the folder is not. Qt
// then reports the failure only in its status after sync. A hand-edited
// file (byte-order mark, '#' comment) is flagged by Qt when read, and Qt
// then records no failed write at all: the save must see it all the same.
TEST_F(SettingsStoreTest, AReadOnlyFolderFailsTheSaveAfterSync) {
  const std::string texts[] = {"[General]\nRegion=1\n",
                               "\xEF\xBB\xBF# by hand\n[General]\nRegion=1\n"};
  int n = 0;
  for (const std::string& text : texts) {
    const std::string folder = dir_.File("ro" + std::to_string(++n));
    const std::string file = folder + "/SKAVD.conf";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    WriteFile(file, text);
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const bool root = geteuid() == 0;
    if (!root) {
      ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    }

    const L2_IfList& list = oneIf_;
    const std::string result = InChild([&] {
      // Root writes anywhere: become an ordinary user for the check.
      if (root && (setgid(65534) != 0 || setuid(65534) != 0)) return std::string("setuid failed");
      RecordingErrorSink errors;
      TestControls c(list);
      c.SelectRegionItem(4);
      const int rc = SaveSettings(c, SETTING_REGION, file);
      return "rc=" + std::to_string(rc) + " " + Joined(errors.Messages());
    });
    EXPECT_EQ(result, "rc=0 Unable to write the settings file '" + file + "': the folder '" +
                          folder +
                          "' is not writable (Permission denied). Run as root, or let the "
                          "operators write the folder and the file (skav-server --help "
                          "tells how)|");
    EXPECT_EQ(ReadFile(file), text);
  }
}

TEST_F(SettingsStoreTest, AFileThatIsNoSettingsFileIsNeitherReadNorOverwritten) {
  std::string file = Fresh();
  const std::string text = "garbage [[[\n==\n";
  WriteFile(file = Fresh(), text);
  TestControls c(oneIf_);
  EXPECT_EQ(LoadSettings(c, file), 0);
  EXPECT_EQ(SaveSettings(c, SETTING_ALL, file), 0);
  EXPECT_EQ(Joined(errors_.Messages()),
            "Unable to read the settings file '" + file +
                "': it is not a settings file that can be read|"
                "Unable to write the settings file '" + file +
                "': it is not a settings file that can be read (correct or remove it)|");
  EXPECT_EQ(ReadFile(file), text);
}

TEST_F(SettingsStoreTest, WhatQtReadsIsReadAndSavedAgain) {
  // Hand-edited files: a byte-order mark from an editor, comments. Qt
  // reads their values (and flags the file all the same). Each step runs
  // in a new process, as the window's open and close may: there Qt meets
  // the file afresh.
  const std::string values = "Region=3\nFirmware Path=/fw.bin\n";
  const std::string files[] = {
      "\xEF\xBB\xBF[General]\n" + values,
      "\xEF\xBB\xBF; bench 4\r\n[General]\r\nRegion=3\r\nFirmware Path=/fw.bin\r\n",
      "# bench 4, set up by hand\n[General]\n" + values,
      "[General]\n  # the firmware of line 2\n" + values + "; end\n",
  };
  for (const std::string& text : files) {
    std::string file;
    WriteFile(file = Fresh(), text);
    auto load = [&] {
      return InChild([&] {
        RecordingErrorSink errors;
        TestControls c(oneIf_);
        const int rc = LoadSettings(c, file);
        return std::to_string(rc) + " " + std::to_string(c.SelectedRegionCode()) + " " +
               c.FirmwarePath() + " " + Joined(errors.Messages());
      });
    };
    EXPECT_EQ(load(), "1 3 /fw.bin ") << text;
    const std::string saved = InChild([&] {
      RecordingErrorSink errors;
      TestControls c(oneIf_);
      c.SetFirmwarePath("/new.bin");
      const int rc = SaveSettings(c, SETTING_FIRMWARE, file);
      return std::to_string(rc) + " " + Joined(errors.Messages());
    });
    EXPECT_EQ(saved, "1 ") << text;
    EXPECT_EQ(load(), "1 3 /new.bin ") << text;
  }
}

TEST(MachineSettings, LiveInTheSystemWideConfigurationFolder) {
  EXPECT_EQ(MachineSettingsFile(), "/etc/xdg/KESTRAN/SKAVD.conf");
}

}  // namespace
