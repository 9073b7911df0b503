// What the window takes in from outside: settings stored by an earlier run
// (or by hand) when it opens, and paths from the file dialog.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <filesystem>
#include <fstream>

#include "console/gui/server_dlg.h"
#include "gui_support.h"

namespace {

using namespace gui_test;

// --- stored settings --------------------------------------------------------

TEST(StoredSettings, RegionZeroStartsWithRegionCodeZero) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  const std::string settings = dir.Write("settings.ini", "[General]\nRegion=0\n");
  auto dlg = OpenWindow(link, settings);
  EXPECT_EQ(qobject_cast<QComboBox*>(dlg->Control(IDC_REGION))->currentIndex(), -1);
  dlg->OnDebugWindow();
  qobject_cast<QPushButton*>(dlg->Control(IDC_START_STOP))->click();
  ASSERT_TRUE(dlg->Running());
  EXPECT_TRUE(WaitUntil([&] {
    return DebugText(*dlg).find("SKAV Server starts running (region: 0)...\n") !=
           std::string::npos;
  }));
  // The device is told no region: its CONF-ACK carries DEV-IP alone
  // (Length 18), no DEV-REGION.
  const uint8_t device[6] = {0x00, 0x1b, 0x2c, 0x00, 0x00, 0x09};
  link.port->Inject(Request(device, 0x02));
  MemoryPort::Frame ack;
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& f : link.port->Sent())
      if (f.size() >= 20 && std::equal(device, device + 6, f.begin()) && f[16] == 0x03) ack = f;
    return !ack.empty();
  }));
  ASSERT_EQ(ack.size(), 32u);
  EXPECT_EQ(ack[18] << 8 | ack[19], 18);
  qobject_cast<QPushButton*>(dlg->Control(IDC_START_STOP))->click();
  EXPECT_TRUE(errors.Messages().empty());
}

TEST(StoredSettings, AnUnreadablePasswordKeepsTheDefaultsWithTheWindowsMessage) {
  struct Case {
    std::string sealed;
    const char* why;
  };
  const Case cases[] = {
      {"zz", "Fail to decrypt the supervisor password"},
      {std::string(66, '0'), "Fail to retrieve the Supervisor Password setting"},
  };
  for (const Case& k : cases) {
    TempDir dir;
    RecordingErrorSink errors;
    FakeLink link;
    const std::string settings = dir.Write(
        "settings.ini",
        "[General]\nSupervisor%20Password=" + k.sealed + "\nFirmware%20Path=/fw.bin\n");
    auto dlg = OpenWindow(link, settings);
    EXPECT_EQ(errors.Messages(),
              (std::vector<std::string>{
                  k.why, "Fail to retrieve previous user configurations, use the default settings"}))
        << k.sealed;
    EXPECT_EQ(dlg->FirmwarePath(), "") << k.sealed;  // later values are not read
  }
}

TEST(StoredSettings, LogEnabledWithAnEmptyPathSaysSoAtOpen) {
  TempDir dir;
  RecordingErrorSink errors;
  FakeLink link;
  const std::string settings =
      dir.Write("settings.ini", "[General]\nLog%20Enable=1\nLog%20Path=\n");
  auto dlg = OpenWindow(link, settings);
  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"No log file specified, click the \"Open...\" button to "
                                     "select a log file."});
  EXPECT_TRUE(dlg->LogEnabled());
  EXPECT_FALSE(HeldOpen(dir.File("")));
}

// --- paths from the file dialog ---------------------------------------------

// `total` bytes of path in `dir`: one folder of 100 characters, then a file
// name that makes up the rest.
std::string PathOf(const TempDir& dir, size_t total) {
  const std::string folder = dir.File(std::string(100, 'd'));
  std::filesystem::create_directories(folder);
  return folder + "/" + std::string(total - folder.size() - 1, 'f');
}

// Answers the file dialog with `path`, and a question whether to create it
// with Yes.
ModalHand Choose(const std::string& path) {
  return ModalHand([path](QWidget* w) {
    if (auto* picker = qobject_cast<QFileDialog*>(w)) {
      SelectInPicker(picker, path);
      static_cast<QDialog*>(picker)->accept();  // QFileDialog::accept, which checks the file
      return true;
    }
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      if (QAbstractButton* yes = box->button(QMessageBox::Yes)) yes->click();
      return true;
    }
    return false;
  });
}

class FilePicker : public ::testing::Test {
 protected:
  FilePicker() : dlg_(OpenWindow(link_, dir_.File("settings.ini"))) {}

  // The firmware's "Browse..." answered with `path`, which exists.
  int PickFirmware(const std::string& path) {
    std::ofstream(path) << "fw";
    auto hand = Choose(path);
    return dlg_->BrowseForFile(IDC_FIRMWARE, "Select the Firmware File", "All (*)",
                               CServerDlg::BrowseFlags::kExistingFile);
  }

  TempDir dir_;
  RecordingErrorSink errors_;
  FakeLink link_;
  std::unique_ptr<CServerDlg> dlg_;
};

TEST_F(FilePicker, APathOf260BytesIsTakenWhole) {
  const std::string path = PathOf(dir_, 260);
  EXPECT_EQ(PickFirmware(path), 1);
  EXPECT_EQ(dlg_->FirmwarePath(), path);
  EXPECT_TRUE(errors_.Messages().empty());
}

TEST_F(FilePicker, ALongerPathIsRefusedNotCut) {
  dlg_->SetFirmwarePath("/earlier.bin");
  const std::string image = PathOf(dir_, 300);
  EXPECT_EQ(PickFirmware(image), 0);
  EXPECT_EQ(dlg_->FirmwarePath(), "/earlier.bin");

  // A new log file: cut at 260 it would name another file in the same
  // folder, and the open would create it.
  const std::string log = PathOf(dir_, 301);
  {
    auto hand = Choose(log);
    dlg_->OnOpenLog();
  }
  EXPECT_EQ(dlg_->LogPath(), "");
  EXPECT_FALSE(HeldOpen(dir_.File("")));
  EXPECT_FALSE(std::filesystem::exists(log.substr(0, 260)));
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_EQ(errors_.Messages(),
            (std::vector<std::string>{
                "The chosen path is too long to be kept (300 bytes, at most 260): " + image,
                "The chosen path is too long to be kept (301 bytes, at most 260): " + log}));
}

TEST_F(FilePicker, AnImageTooLargeForOneTransferIsRefusedWhenChosen) {
  const std::string image = dir_.File("huge.bin");
  std::ofstream(image) << "fw";
  std::filesystem::resize_file(image, 33553920);  // one byte too many, sparse
  auto hand = Choose(image);
  EXPECT_EQ(dlg_->BrowseForFile(IDC_FIRMWARE, "", "All (*)",
                                CServerDlg::BrowseFlags::kExistingFile),
            0);
  EXPECT_EQ(dlg_->FirmwarePath(), "");
  EXPECT_EQ(errors_.Messages(),
            std::vector<std::string>{"Unable to use the file '" + image + "' (The file '" +
                                     image +
                                     "' is 33553920 bytes long; one TFTP transfer carries at "
                                     "most 33553919 bytes)"});
}

}  // namespace
