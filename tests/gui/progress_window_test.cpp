// The Transfer Progress window over the engine's rows of made-up clients:
// rows change in place, so the operator's sort, selection and scroll
// position survive it; numeric columns sort as numbers; clients that come
// and go are added and dropped.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console/gui/progress_dialog.h"
#include "console/gui/progress_model.h"
#include "engine/progress_feed.h"
#include "report/device_record.h"

namespace {

ProgressRow MadeUp(int i) {
  ProgressRow row;
  const uint8_t mac[6] = {0x02, 0x5a, 0x00, 0x00, static_cast<uint8_t>(i >> 8),
                          static_cast<uint8_t>(i)};
  std::memcpy(row.mac, mac, 6);
  const uint8_t ip[4] = {10, 0, static_cast<uint8_t>((i + 2) >> 8), static_cast<uint8_t>(i + 2)};
  std::memcpy(&row.ipAddr, ip, 4);
  row.firmwareOffered = true;
  auto live = std::make_shared<DeviceLive>();
  live->state = TftpSending;
  // 1001 blocks each; device i is i blocks in, so percentages run from 0
  // to 19 and sort differently as text ("9 %" after "10 %").
  live->BeginTransfer(0, 512000);
  live->blocks = DeviceLive::PackBlocks(0, static_cast<uint32_t>(i), 1001);
  row.live = live;
  return row;
}

DeviceLive& Live(const ProgressRow& row) { return const_cast<DeviceLive&>(*row.live); }

std::string MacAt(const QTreeView& view, int r) {
  return view.model()->index(r, kColMac).data().toString().toStdString();
}

TEST(ProgressWindow, RefreshKeepsSortSelectionAndScrollAndSortsNumbersAsNumbers) {
  std::vector<ProgressRow> rows;
  for (int i = 0; i < 200; ++i) rows.push_back(MadeUp(i));
  // The engine's side: what it sends of the rows.
  ProgressFeed feed;
  feed.Read(rows, 0);

  CProgressDialog window(nullptr);
  window.Take(feed.Whole());
  window.Create();
  QTreeView& view = *window.View();
  ASSERT_EQ(view.model()->rowCount(), 200);

  view.sortByColumn(kColProgress, Qt::DescendingOrder);
  EXPECT_EQ(MacAt(view, 0), "02-5A-00-00-00-C7");  // 199 of 1001 blocks: 19 %
  int lastPercent = 101;
  for (int r = 0; r < 200; ++r) {
    const int percent = view.model()->index(r, 0).data(ProgressModel::kPercentRole).toInt();
    ASSERT_LE(percent, lastPercent) << "row " << r;
    lastPercent = percent;
  }

  // The operator picks a device halfway down and scrolls a little.
  const QModelIndex picked = view.model()->index(120, 0);
  const std::string pickedMac = MacAt(view, 120);
  view.selectionModel()->select(
      picked, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view.selectionModel()->setCurrentIndex(picked, QItemSelectionModel::NoUpdate);
  view.verticalScrollBar()->setValue(40);

  QSignalSpy resets(&window.Rows(), &QAbstractItemModel::modelReset);
  // Every device moves on; one more comes and one is taken off the run.
  for (int i = 0; i < 200; ++i) {
    Live(rows[static_cast<size_t>(i)]).blocks =
        DeviceLive::PackBlocks(0, static_cast<uint32_t>(200 - i), 1001);
  }
  Live(rows[5]).state = Ended;
  rows.push_back(MadeUp(300));
  Live(rows.back()).blocks = DeviceLive::PackBlocks(0, 0, 1001);
  feed.Read(rows, 250);
  window.Take(feed.Changes());

  EXPECT_EQ(resets.count(), 0);
  ASSERT_EQ(view.model()->rowCount(), 200);
  // The order turned round under the same sort; the gone one is gone.
  EXPECT_EQ(view.header()->sortIndicatorSection(), kColProgress);
  EXPECT_EQ(view.header()->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_EQ(MacAt(view, 0), "02-5A-00-00-00-00");
  EXPECT_EQ(MacAt(view, 199), "02-5A-00-00-01-2C");  // the newcomer, nothing acknowledged
  for (int r = 0; r < 200; ++r) EXPECT_NE(MacAt(view, r), "02-5A-00-00-00-05");
  const QModelIndexList selected = view.selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected[0].data().toString().toStdString(), pickedMac);
  EXPECT_EQ(view.verticalScrollBar()->value(), 40);
  const QString details = window.Details()->text();
  EXPECT_TRUE(details.startsWith(QString::fromStdString(pickedMac) + ": started "))
      << details.toStdString();

  // Sent whole again (a front end that missed news): the same rows, in place.
  window.Take(feed.Whole());
  EXPECT_EQ(resets.count(), 0);
  EXPECT_EQ(view.model()->rowCount(), 200);
  EXPECT_EQ(view.selectionModel()->selectedRows().size(), 1);
  window.close();
  EXPECT_FALSE(window.IsOpen());
}

}  // namespace
