// The Transfer Progress window over a real run: the window in a network
// namespace, simulated devices in another. Its rows, its bars once devices
// are Done, a silent device's failure, and a window opened and closed while
// transfers run that never holds a worker up.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "console/gui/progress_model.h"
#include "gui_support.h"
#include "integration/e2e_support.h"
#include "netns_window.h"

namespace {

using namespace std::chrono_literals;
using gui_test::OpenWindowOn;

#ifdef SKAV_DEVSIM_PATH
const char* const kDevsim = SKAV_DEVSIM_PATH;
#else
const char* const kDevsim = nullptr;
#endif

// A clean device closes and then waits out the Close timer (6 s) before it
// counts as Done; a loaded machine needs far more than that.
constexpr int kDoneLimitMs = 90000;

// One row of the window as the operator reads it.
struct ShownRow {
  std::vector<std::string> text;
  int percent = -1;
  ProgressMark mark = ProgressMark::kNone;
};

// The window's rows by MAC, read through the view's own (sorted) model.
std::map<std::string, ShownRow> Shown(const CProgressDialog& window) {
  std::map<std::string, ShownRow> rows;
  const QAbstractItemModel* model = window.View()->model();
  for (int r = 0; r < model->rowCount(); ++r) {
    ShownRow row;
    for (int c = 0; c < kProgressColumns; ++c) {
      row.text.push_back(model->index(r, c).data().toString().toStdString());
    }
    const QModelIndex first = model->index(r, 0);
    row.percent = first.data(ProgressModel::kPercentRole).toInt();
    row.mark = static_cast<ProgressMark>(first.data(ProgressModel::kMarkRole).toInt());
    rows[row.text[kColMac]] = row;
  }
  return rows;
}

std::string Dump(const CProgressDialog& window) {
  std::string out;
  for (const auto& [mac, row] : Shown(window)) {
    for (const std::string& t : row.text) out += t + " | ";
    out += "\n";
  }
  return out;
}

TEST(ProgressWindowNetns, ShowsEachDeviceOfARunAndNeverHoldsAWorkerUp) {
  SKAV_REQUIRE_NETNS();
  ASSERT_NE(kDevsim, nullptr) << "built without the device simulator";
  NetnsPair pair;
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  InNetns inServer(pair.serverNs());
  ASSERT_TRUE(inServer.ok());

  gui_test::TempDir dir;
  gui_test::RecordingErrorSink errors;
  const std::vector<uint8_t> firmware = e2e::Pattern(100 * 1024, 21);  // 201 blocks
  const std::string firmwarePath =
      dir.Write("fw.bin", std::string(firmware.begin(), firmware.end()));
  auto dlg = OpenWindowOn(pair, dir);
  dlg->SetFirmwarePath(firmwarePath);
  qobject_cast<QPushButton*>(dlg->Control(IDC_START_STOP))->click();
  ASSERT_TRUE(dlg->Running()) << (errors.Messages().empty() ? "" : errors.Messages()[0]);

  QAction* item = dlg->ProgressWindowAction();
  CProgressDialog& window = dlg->ProgressWindow();
  EXPECT_EQ(item->text(), "Transfer Progress");
  item->trigger();
  ASSERT_TRUE(window.isVisible());
  EXPECT_TRUE(item->isChecked());
  EXPECT_EQ(window.windowTitle(), "Transfer Progress");

  // Four devices that leave out every 40th ACK (half a second each time,
  // so their transfers last seconds), and one that answers the WRQ and
  // then falls silent.
  e2e::Child clean(pair.deviceNs(), {kDevsim, "--if", pair.deviceIf(), "--count", "4",
                                     "--at-once", "2", "--drop-ack", "40", "--expect",
                                     "firmware=" + firmwarePath, "--timeout", "60"});
  e2e::Child silent(pair.deviceNs(),
                    {kDevsim, "--if", pair.deviceIf(), "--base-mac", "02:5a:00:00:01:01",
                     "--silent-after", "wrq", "--silent-for", "30000", "--timeout", "45"});
  ASSERT_TRUE(clean.started() && silent.started());
  ASSERT_TRUE(gui_test::WaitUntil(
      [&] {
        clean.Wait(0ms);
        for (const auto& [mac, row] : Shown(window)) {
          if (row.text[kColState] == "TFTP-Sending") return true;
        }
        return false;
      },
      30000))
      << Dump(window) << clean.output();

  // Opened and closed while transfers run: the menu item follows the
  // window.
  for (int i = 0; i < 12; ++i) {
    item->trigger();
    EXPECT_EQ(item->isChecked(), window.IsOpen());
    EXPECT_EQ(window.isVisible(), window.IsOpen());
    QTest::qWait(40);
  }
  ASSERT_TRUE(window.IsOpen());

  // The window stays open while the GUI thread does nothing else until the
  // clean devices have their images: a worker that waited for this thread
  // would hold them past their time limit.
  EXPECT_EQ(clean.Wait(60s), 0) << clean.output();

  const auto settled = [&] {
    silent.Wait(0ms);
    const auto rows = Shown(window);
    int done = 0;
    for (const auto& [mac, row] : rows) done += row.text[kColOutcome] == "Done";
    const auto it = rows.find("02-5A-00-00-01-01");
    return done == 4 && it != rows.end() && !it->second.text[kColFailure].empty();
  };
  ASSERT_TRUE(gui_test::WaitUntil(settled, kDoneLimitMs)) << Dump(window);

  const auto rows = Shown(window);
  ASSERT_EQ(rows.size(), 5u) << Dump(window);
  for (const char* mac : {"02-5A-00-00-00-01", "02-5A-00-00-00-02", "02-5A-00-00-00-03",
                          "02-5A-00-00-00-04"}) {
    const ShownRow& row = rows.at(mac);
    EXPECT_EQ(row.percent, 100) << mac;
    EXPECT_EQ(row.text[kColProgress], "100 % (1/1 images)") << mac;
    EXPECT_EQ(row.text[kColState], "Closed") << mac;
    EXPECT_EQ(row.text[kColFailure], "") << mac;
    EXPECT_EQ(row.text[kColAddress].rfind("10.", 0), 0u) << mac;
    EXPECT_NE(row.text[kColResent], "0") << mac;  // the ACKs left out
    EXPECT_EQ(row.mark, ProgressMark::kNone) << mac;
  }

  // The silent device: its bar stopped before the first block; its row
  // names the failure while the server still waits for the device.
  const ShownRow before = rows.at("02-5A-00-00-01-01");
  EXPECT_EQ(before.text[kColFailure], "timeout at block 1 of firmware");
  EXPECT_EQ(before.text[kColProgress], "0 % (0/201)");
  EXPECT_EQ(before.text[kColState], "Active");
  EXPECT_EQ(before.text[kColRate], "0.0 KiB/s");
  EXPECT_EQ(before.mark, ProgressMark::kFailing);
  QTest::qWait(1000);
  const ShownRow after = Shown(window).at("02-5A-00-00-01-01");
  EXPECT_EQ(after.text[kColProgress], before.text[kColProgress]);
  EXPECT_EQ(after.text[kColResent], before.text[kColResent]);
  EXPECT_EQ(window.Summary()->text(), "5 devices: 1 in flight, 4 done, 0 failed, 0.0 KiB/s");

  window.close();
  EXPECT_FALSE(item->isChecked());
  gui_test::ClickStopServing(*dlg);
  EXPECT_FALSE(dlg->Running());
  EXPECT_TRUE(errors.Messages().empty()) << errors.Messages()[0];
}

}  // namespace
