// Device Status panel model: literal texts and offsets for the edge cases,
// and incremental refreshes checked against full rebuilds.
#include "report/status_panel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "report/debug_print.h"
#include "panel_devices.h"
#include "support/recording_error_sink.h"

namespace {

struct Edit {
  int pos;
  int count;
  std::string text;
  bool operator==(const Edit&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Edit& e) {
  return os << "{" << e.pos << ", " << e.count << ", \"" << e.text << "\"}";
}

/// A view: applies every edit to its own copy and records it.
class MirrorView : public StatusEditListener {
 public:
  void OnEdit(int pos, int count, const std::string& text) override {
    if (pos < 0 || count < 0 ||
        static_cast<size_t>(pos) + static_cast<size_t>(count) > mirror.size()) {
      ADD_FAILURE() << "edit out of range: " << Edit{pos, count, text};
      return;
    }
    mirror.replace(static_cast<size_t>(pos), static_cast<size_t>(count), text);
    edits.push_back({pos, count, text});
  }
  std::string mirror;
  std::vector<Edit> edits;
};

/// The panel as the server thread holds it, with a mirroring view.
struct Panel {
  explicit Panel(int32_t order) {
    state.Set(sortKey, order);
    ctl.SetListener(&view);
  }
  int32_t W(int i) const { return state.Get(i); }
  std::vector<int32_t> Offsets() const {
    return {W(entriesStart), W(errorStart), W(doneStart), W(reworkingStart),
            W(entriesEnd)};
  }
  std::vector<int32_t> Counts() const {
    return {W(total), W(errorCount), W(doneCount), W(reworkingCount)};
  }
  StatusText ctl;
  PanelState state;
  MirrorView view;
};

// Entries, written out in full: MAC, ": ", the 9-character word, 4 blanks.
const char kE01R[] = "00-00-00-00-00-01: Reworking    ";
const char kE03R[] = "00-00-00-00-00-03: Reworking    ";
const char kE05R[] = "00-00-00-00-00-05: Reworking    ";
const char kE07R[] = "00-00-00-00-00-07: Reworking    ";
const char kE00R[] = "00-00-00-00-00-00: Reworking    ";

TEST(StatusPanelLayout, TwelveDevicesInStatusOrder) {
  Devices d;
  const uint8_t errors[] = {0x02, 0x07, 0x0B};
  const uint8_t dones[] = {0x01, 0x04, 0x05, 0x09, 0x0C};
  for (uint8_t i = 1; i <= 12; ++i) d.Add(MacOf(i));
  for (uint8_t m : errors) Devices::FinishError(d.Find(MacOf(m)));
  for (uint8_t m : dones) Devices::FinishDone(d.Find(MacOf(m)));

  Panel p(kSortStatus);
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);

  EXPECT_EQ(p.ctl.Text(),
            "Total   12 devices: Error (3) Done (5) Reworking (4)\r\n"
            "\r\n"
            "00-00-00-00-00-02: Error        "
            "00-00-00-00-00-07: Error        "
            "00-00-00-00-00-0B: Error        "
            "00-00-00-00-00-01: Done         "
            "00-00-00-00-00-04: Done         "
            "00-00-00-00-00-05: Done         "
            "00-00-00-00-00-09: Done         "
            "00-00-00-00-00-0C: Done         "
            "00-00-00-00-00-03: Reworking    "
            "00-00-00-00-00-06: Reworking    "
            "00-00-00-00-00-08: Reworking    "
            "00-00-00-00-00-0A: Reworking    ");
  EXPECT_EQ(p.Counts(), (std::vector<int32_t>{12, 3, 5, 4}));
  // Header line of 52 characters and its "\r\n\r\n": entries from 56; the
  // groups hold 3, 5 and 4 entries of 32.
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{56, 56, 152, 312, 440}));
  EXPECT_EQ(p.view.mirror, p.ctl.Text());

  // The same devices in MAC(down): every entry, descending, same header.
  Panel down(kSortMacDown);
  GUIStatusUpdateSorting(&down.ctl, d.head(), down.state);
  EXPECT_EQ(down.ctl.Text(),
            "Total   12 devices: Error (3) Done (5) Reworking (4)\r\n"
            "\r\n"
            "00-00-00-00-00-0C: Done         "
            "00-00-00-00-00-0B: Error        "
            "00-00-00-00-00-0A: Reworking    "
            "00-00-00-00-00-09: Done         "
            "00-00-00-00-00-08: Reworking    "
            "00-00-00-00-00-07: Error        "
            "00-00-00-00-00-06: Reworking    "
            "00-00-00-00-00-05: Done         "
            "00-00-00-00-00-04: Done         "
            "00-00-00-00-00-03: Reworking    "
            "00-00-00-00-00-02: Error        "
            "00-00-00-00-00-01: Done         ");
}

TEST(StatusPanelLayout, MacOrderComparesBytesUnsigned) {
  Devices d;
  d.Add(Mac{0x80, 0, 0, 0, 0, 0});
  d.Add(Mac{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  d.Add(Mac{0x0A, 0, 0, 0, 0, 0});
  Panel p(kSortMacUp);
  GUIStatusUpdate(&p.ctl, d.head(), p.state);  // before any reset
  EXPECT_EQ(p.ctl.Text(),
            "Total    3 devices: Reworking (3)\r\n\r\n"
            "0A-00-00-00-00-00: Reworking    "
            "7F-FF-FF-FF-FF-FF: Reworking    "
            "80-00-00-00-00-00: Reworking    ");
}

TEST(StatusPanelReset, HeaderThenFirstCountsRewriteDropsTheBlank) {
  Panel p(kSortStatus);
  p.state.Set(total, 7);
  p.state.Set(doneCount, 3);
  GUIStatusReset(&p.ctl, 0, p.state);
  EXPECT_EQ(p.ctl.Text(), "Total    0 devices: \r\n\r\n");
  EXPECT_EQ(p.Counts(), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{24, 24, 24, 24, 24}));

  // A rebuild with no devices rewrites the counts: the text is empty, and
  // the blank behind "devices:" goes with it.
  GUIStatusUpdateSorting(&p.ctl, nullptr, p.state);
  EXPECT_EQ(p.ctl.Text(), "Total    0 devices:\r\n\r\n");
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{23, 23, 23, 23, 23}));

  Devices d;
  d.Add(MacOf(1));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    1 devices: Reworking (1)\r\n\r\n") + kE01R);
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{37, 37, 37, 37, 69}));
  EXPECT_EQ(p.view.mirror, p.ctl.Text());
}

TEST(StatusPanelReset, NewStartShowsOnlyTheNewRun) {
  Devices first;
  Devices::FinishDone(first.Add(MacOf(1)));
  first.Add(MacOf(2));
  Panel p(kSortMacUp);
  GUIStatusUpdateSorting(&p.ctl, first.head(), p.state);

  GUIStatusReset(&p.ctl, 0, p.state);
  EXPECT_EQ(p.ctl.Text(), "Total    0 devices: \r\n\r\n");
  Devices second;
  second.Add(MacOf(5));
  GUIStatusUpdate(&p.ctl, second.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    1 devices: Reworking (1)\r\n\r\n") + kE05R);
  EXPECT_EQ(p.Counts(), (std::vector<int32_t>{1, 0, 0, 1}));

  // Devices shown before a reset are written again after it.
  GUIStatusReset(&p.ctl, 0, p.state);
  GUIStatusUpdate(&p.ctl, first.head(), p.state);
  EXPECT_EQ(p.ctl.Text(), "Total    2 devices: Done (1) Reworking (1)\r\n\r\n"
                          "00-00-00-00-00-01: Done         "
                          "00-00-00-00-00-02: Reworking    ");
}

TEST(StatusPanelInsert, MacUpBetweenEntries) {
  Devices d;
  d.Add(MacOf(5));
  d.Add(MacOf(1));
  Panel p(kSortMacUp);
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
  ASSERT_EQ(p.ctl.Text(), std::string("Total    2 devices: Reworking (2)\r\n\r\n") +
                              kE01R + kE05R);

  d.Add(MacOf(3));
  p.view.edits.clear();
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(), std::string("Total    3 devices: Reworking (3)\r\n\r\n") +
                              kE01R + kE03R + kE05R);
  // One inserted entry and the two header fields; nothing rewritten whole.
  EXPECT_EQ(p.view.edits, (std::vector<Edit>{{69, 0, kE03R},
                                             {6, 5, "   3 "},
                                             {19, 14, " Reworking (3)"}}));
  EXPECT_EQ(p.view.mirror, p.ctl.Text());
}

TEST(StatusPanelInsert, MacDownBeforeFirstSmaller) {
  Devices d;
  d.Add(MacOf(1));
  d.Add(MacOf(5));
  Panel p(kSortMacDown);
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
  ASSERT_EQ(p.ctl.Text(), std::string("Total    2 devices: Reworking (2)\r\n\r\n") +
                              kE05R + kE01R);

  d.Add(MacOf(3));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(), std::string("Total    3 devices: Reworking (3)\r\n\r\n") +
                              kE05R + kE03R + kE01R);

  // Before everything and behind everything in one refresh.
  d.Add(MacOf(7));
  d.Add(MacOf(0));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(), std::string("Total    5 devices: Reworking (5)\r\n\r\n") +
                              kE07R + kE05R + kE03R + kE01R + kE00R);
  EXPECT_EQ(p.view.mirror, p.ctl.Text());
}

// Error 02, Done 04, Reworking 01 and 05, in Status order.
void BuildMixedStatusPanel(Devices& d, Panel& p) {
  d.Add(MacOf(1));
  Devices::FinishError(d.Add(MacOf(2)));
  Devices::FinishDone(d.Add(MacOf(4)));
  d.Add(MacOf(5));
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
  ASSERT_EQ(p.ctl.Text(),
            std::string("Total    4 devices: Error (1) Done (1) Reworking (2)\r\n\r\n") +
                "00-00-00-00-00-02: Error        "
                "00-00-00-00-00-04: Done         " +
                kE01R + kE05R);
  ASSERT_EQ(p.Offsets(), (std::vector<int32_t>{56, 56, 88, 120, 184}));
}

TEST(StatusPanelInsert, StatusOrderIntoTheReworkingGroup) {
  Devices d;
  Panel p(kSortStatus);
  BuildMixedStatusPanel(d, p);

  d.Add(MacOf(3));
  p.view.edits.clear();
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    5 devices: Error (1) Done (1) Reworking (3)\r\n\r\n") +
                "00-00-00-00-00-02: Error        "
                "00-00-00-00-00-04: Done         " +
                kE01R + kE03R + kE05R);
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{56, 56, 88, 120, 216}));
  EXPECT_EQ(p.Counts(), (std::vector<int32_t>{5, 1, 1, 3}));
  EXPECT_EQ(p.view.edits, (std::vector<Edit>{{152, 0, kE03R},
                                             {6, 5, "   5 "},
                                             {19, 33,
                                              " Error (1) Done (1) Reworking (3)"}}));
}

TEST(StatusPanelFinish, MacOrderChangesTheWordInPlace) {
  Devices d;
  d.Add(MacOf(1));
  DeviceRecord* three = d.Add(MacOf(3));
  d.Add(MacOf(5));
  Panel p(kSortMacUp);
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);

  Devices::FinishDone(three);
  p.view.edits.clear();
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    3 devices: Done (1) Reworking (2)\r\n\r\n") +
                kE01R + "00-00-00-00-00-03: Done         " + kE05R);
  // The word is replaced in place (entry 37 + 32, word at 19 in it, same
  // length), then the counts; the total stays.
  EXPECT_EQ(p.view.edits,
            (std::vector<Edit>{{88, 9, "Done     "},
                               {19, 14, " Done (1) Reworking (2)"}}));
  EXPECT_EQ(p.W(total), 3);

  // A refresh with nothing changed edits nothing.
  p.view.edits.clear();
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_TRUE(p.view.edits.empty());
}

TEST(StatusPanelFinish, StatusOrderMovesBetweenGroupsTotalUnchanged) {
  Devices d;
  Panel p(kSortStatus);
  BuildMixedStatusPanel(d, p);

  Devices::FinishDone(d.Find(MacOf(5)));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    4 devices: Error (1) Done (2) Reworking (1)\r\n\r\n") +
                "00-00-00-00-00-02: Error        "
                "00-00-00-00-00-04: Done         "
                "00-00-00-00-00-05: Done         " +
                kE01R);
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{56, 56, 88, 152, 184}));
  EXPECT_EQ(p.Counts(), (std::vector<int32_t>{4, 1, 2, 1}));

  // The last Reworking device fails: it goes to the front of the Error
  // group and the Reworking group is left empty at the end.
  Devices::FinishError(d.Find(MacOf(1)));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    4 devices: Error (2) Done (2)\r\n\r\n") +
                "00-00-00-00-00-01: Error        "
                "00-00-00-00-00-02: Error        "
                "00-00-00-00-00-04: Done         "
                "00-00-00-00-00-05: Done         ");
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{42, 42, 106, 170, 170}));
  EXPECT_EQ(p.Counts(), (std::vector<int32_t>{4, 2, 2, 0}));
  EXPECT_EQ(p.view.mirror, p.ctl.Text());
}

TEST(StatusPanelRequests, ClearRebuildsFromTheRemainingClients) {
  Devices d;
  Panel p(kSortStatus);
  BuildMixedStatusPanel(d, p);
  Devices::FinishDone(d.Find(MacOf(1)));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);

  OnClearStatus(p.state);
  EXPECT_EQ(p.W(refreshRequest), 2);
  // The server thread's part: reap the Done clients, then rebuild.
  d.RemoveDone();
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    2 devices: Error (1) Reworking (1)\r\n\r\n") +
                "00-00-00-00-00-02: Error        " + kE05R);
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{47, 47, 79, 79, 111}));
  EXPECT_EQ(p.view.mirror, p.ctl.Text());
}

TEST(StatusPanelRequests, SortButtons) {
  PanelState state;
  state.Set(sortKey, kSortMacUp);
  EXPECT_FALSE(OnSortButton(state, kSortMacUp));
  EXPECT_EQ(state.Get(refreshRequest), 0);

  EXPECT_TRUE(OnSortButton(state, kSortStatus));
  EXPECT_EQ(state.Get(sortKey), kSortStatus);
  EXPECT_EQ(state.Get(refreshRequest), 1);

  // A Clear not yet served is not lowered to a plain rebuild by a sort
  // button: the rebuild after the reaping uses the new key anyway.
  state.Set(refreshRequest, 0);
  OnClearStatus(state);
  EXPECT_TRUE(OnSortButton(state, kSortMacDown));
  EXPECT_EQ(state.Get(refreshRequest), 2);
  EXPECT_EQ(state.Get(sortKey), kSortMacDown);
}

TEST(StatusPanelRequests, StatusButtonRegroupsAtTheNextRebuild) {
  Devices d;
  Devices::FinishDone(d.Add(MacOf(1)));
  d.Add(MacOf(2));
  Devices::FinishError(d.Add(MacOf(3)));
  Panel p(kSortMacUp);
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);

  ASSERT_TRUE(OnSortButton(p.state, kSortStatus));
  // A refresh that runs before the request is served keeps to the layout
  // the text has, instead of reading MAC(up) entries as Status groups.
  d.Add(MacOf(4));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    4 devices: Error (1) Done (1) Reworking (2)\r\n\r\n") +
                "00-00-00-00-00-01: Done         "
                "00-00-00-00-00-02: Reworking    "
                "00-00-00-00-00-03: Error        "
                "00-00-00-00-00-04: Reworking    ");

  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    4 devices: Error (1) Done (1) Reworking (2)\r\n\r\n") +
                "00-00-00-00-00-03: Error        "
                "00-00-00-00-00-01: Done         "
                "00-00-00-00-00-02: Reworking    "
                "00-00-00-00-00-04: Reworking    ");
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{56, 56, 88, 120, 184}));
  EXPECT_EQ(p.view.mirror, p.ctl.Text());
}

void* FailingAlloc(size_t) { return nullptr; }

TEST(StatusPanelFailure, FailedAllocationLeavesTheTextUntouched) {
  Devices d;
  Panel p(kSortStatus);
  BuildMixedStatusPanel(d, p);
  const std::string before = p.ctl.Text();
  const std::vector<int32_t> offsets = p.Offsets();
  const std::vector<int32_t> counts = p.Counts();

  RecordingErrorSink errors;
  p.state.Set(sortKey, kSortMacDown);
  p.view.edits.clear();
  SetStatusAllocator(&FailingAlloc);
  GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
  SetStatusAllocator(nullptr);

  EXPECT_EQ(errors.Messages(),
            (std::vector<std::string>{
                "GUIStatusUpdateSorting() fails to allocate memory"}));
  EXPECT_EQ(p.ctl.Text(), before);
  EXPECT_TRUE(p.view.edits.empty());
  EXPECT_EQ(p.Offsets(), offsets);
  EXPECT_EQ(p.Counts(), counts);

  // The text still carries its Status layout, so refreshes go on working.
  d.Add(MacOf(3));
  GUIStatusUpdate(&p.ctl, d.head(), p.state);
  EXPECT_EQ(p.ctl.Text(),
            std::string("Total    5 devices: Error (1) Done (1) Reworking (3)\r\n\r\n") +
                "00-00-00-00-00-02: Error        "
                "00-00-00-00-00-04: Done         " +
                kE01R + kE03R + kE05R);
}

TEST(StatusPanelLimits, TotalPast9999KeepsEveryOffset) {
  Panel p(kSortStatus);
  GUIStatusReset(&p.ctl, 12345, p.state);
  EXPECT_EQ(p.ctl.Text(), "Total 9999+devices: \r\n\r\n");
  EXPECT_EQ(p.Offsets(), (std::vector<int32_t>{24, 24, 24, 24, 24}));

  // 9999 entries counted, one more arrives: the four-digit field turns to
  // "9999+" in the same five characters, in place.
  for (int32_t order : {kSortMacUp, kSortStatus}) {
    SCOPED_TRACE(order);
    Panel q(order);
    GUIStatusReset(&q.ctl, 9999, q.state);
    EXPECT_EQ(q.ctl.Text(), "Total 9999 devices: \r\n\r\n");
    Devices d;
    d.Add(MacOf(1));
    q.view.edits.clear();
    GUIStatusUpdate(&q.ctl, d.head(), q.state);
    EXPECT_EQ(q.W(total), 10000);
    EXPECT_EQ(q.ctl.Text(),
              std::string("Total 9999+devices: Reworking (1)\r\n\r\n") + kE01R);
    EXPECT_EQ(q.view.edits[1], (Edit{6, 5, "9999+"}));
    // More entries beyond: the field stays, no edit of it.
    d.Add(MacOf(3));
    q.view.edits.clear();
    GUIStatusUpdate(&q.ctl, d.head(), q.state);
    EXPECT_EQ(q.ctl.Text(), std::string("Total 9999+devices: Reworking (2)\r\n\r\n") +
                                kE01R + kE03R);
    EXPECT_EQ(q.view.edits.size(), 2u);
    if (order == kSortStatus) {
      EXPECT_EQ(q.Offsets(), (std::vector<int32_t>{37, 37, 37, 37, 101}));
    }
    EXPECT_EQ(q.view.mirror, q.ctl.Text());
  }
}

// Sets a client's outcome whatever it was before.
void SetOutcome(DeviceRecord* c, int which) {
  c->flags.store(which == 1 ? static_cast<uint32_t>(fwUpgradeDone) : 0u);
  c->SetState(which == 0 ? Active : Closed);
}

// After any mix of devices joining and changing outcome, refreshed
// incrementally (with the odd rebuild on request in between), the text,
// the counts and the Status offsets equal those of a full rebuild of the
// same table, and the mirroring view holds the same text. Outcomes mostly
// go from Reworking to Done or Error, as devices do, and now and then in
// any direction, so that an entry also moves towards a later group.
TEST(StatusPanelRandom, IncrementalEqualsFullRebuild) {
  for (int32_t order : {kSortMacUp, kSortMacDown, kSortStatus}) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE(testing::Message() << "order " << order << " seed " << seed);
      std::mt19937 rng(seed * 7919u + static_cast<uint32_t>(order));
      Devices d;
      std::set<Mac> used;
      std::vector<DeviceRecord*> all;
      Panel p(order);
      GUIStatusReset(&p.ctl, 0, p.state);
      // One device from the start: with none, the header keeps the blank
      // behind "devices:" until the counts are first rewritten.
      used.insert(MacOf(0x55));
      all.push_back(d.Add(MacOf(0x55)));

      for (int step = 0; step < 120; ++step) {
        int changes = static_cast<int>(rng() % 4);
        for (int k = 0; k < changes; ++k) {
          uint32_t action = rng() % 10;
          if (action < 5) {
            Mac mac;
            do {
              // Few distinct bytes: neighbours share long MAC prefixes.
              for (auto& b : mac) b = static_cast<uint8_t>((rng() % 4) * 0x55);
            } while (!used.insert(mac).second);
            all.push_back(d.Add(mac));
          } else {
            DeviceRecord* c = all[rng() % all.size()];
            if (action < 9) {
              if (c->State() != Closed) SetOutcome(c, 1 + static_cast<int>(rng() % 2));
            } else {
              SetOutcome(c, static_cast<int>(rng() % 3));
            }
          }
        }
        if (rng() % 25 == 0) {
          GUIStatusUpdateSorting(&p.ctl, d.head(), p.state);
        } else {
          GUIStatusUpdate(&p.ctl, d.head(), p.state);
        }

        Panel full(order);
        GUIStatusUpdateSorting(&full.ctl, d.head(), full.state);
        ASSERT_EQ(p.ctl.Text(), full.ctl.Text()) << "step " << step;
        ASSERT_EQ(p.Counts(), full.Counts()) << "step " << step;
        if (order == kSortStatus) {
          ASSERT_EQ(p.Offsets(), full.Offsets()) << "step " << step;
        }
        ASSERT_EQ(p.view.mirror, p.ctl.Text()) << "step " << step;
      }
    }
  }
}

}  // namespace
