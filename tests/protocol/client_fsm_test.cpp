// The client state machine, driven message by message with recorded timers:
// replies on the wire, transitions, log lines, and the received-datagram
// checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "support/client_harness.h"

using namespace harness;

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kSkavToDevice = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02,
                             0x00, 0x00, 0x00, 0x00, 0x01, 0x09, 0x12};

// Requests as the device sends them (and kConfReq, kCloseReq, kUlReq,
// UlReq of the harness).
const Bytes kKeepAlive = {0, 0, 6, 0, 0, 6};
const Bytes kKeepAliveId = {0, 0, 6, 0,    0,    14,   0,
                            3, 0, 8, 0xde, 0xad, 0xbe, 0xef};

std::string Tag(const std::string& rest) { return std::string(kMacTag) + rest; }

uint16_t Be16(const Bytes& f, size_t at) {
  return uint16_t(f[at] << 8 | f[at + 1]);
}


// Acknowledges every DATA until the image is complete; returns its bytes.
Bytes AckWholeImage(Rig& rig, TimedClient& c, bool ackLast = true) {
  Bytes received;
  rig.port->ClearSent();
  DeviceAck(c, 0);
  while (true) {
    auto sent = rig.Sent();
    EXPECT_EQ(sent.size(), 1u);
    if (sent.size() != 1) return received;
    const Bytes& f = sent[0];
    EXPECT_EQ(Be16(f, 42), 3);  // DATA
    received.insert(received.end(), f.begin() + 46, f.end());
    const uint16_t block = Be16(f, 44);
    const bool last = f.size() < 558;
    rig.port->ClearSent();
    if (last && !ackLast) return received;
    DeviceAck(c, block);
    if (last) return received;
  }
}

struct FsmTest : ::testing::Test {
  void SetUp() override { clientExited.store(0); }
  Rig rig;
};

}  // namespace

// --- CONF-REQ -------------------------------------------------------------

TEST_F(FsmTest, ConfReqOffersAddressRegionFirmwareAndTables) {
  rig.SetImage(0, Pattern(10));
  rig.SetImage(1, Pattern(10));
  rig.SetImage(3, Pattern(10));
  TimedClient& c = rig.MakeClient(3);

  Skav(c, kConfReq);
  const Bytes expected =
      Cat({kSkavToDevice,
           {0x00, 0x00, 0x03, 0x00, 0x00, 0x24},
           {0x00, 0x02, 0x00, 0x0c, 10, 0, 0, 2, 255, 0, 0, 0},
           {0x00, 0x04, 0x00, 0x06, 0x00, 0x03},
           {0x01, 0x01, 0x00, 0x04},
           {0x01, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x05}});
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0], expected);
  EXPECT_EQ(c.State(), Active);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000}));
  EXPECT_EQ(c.timerId, c.lastId);
  EXPECT_EQ(rig.log.Lines().front(), Tag(" RX SKAV CONF-REQ: \r\n"));

  // Again in Active: the same CONF-ACK, the Active timer restarted.
  Skav(c, kConfReq);
  ASSERT_EQ(rig.Sent().size(), 2u);
  EXPECT_EQ(rig.Sent()[1], expected);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000, 60000}));
  EXPECT_EQ(c.killed, (std::vector<uint32_t>{1}));
  EXPECT_EQ(c.State(), Active);
}

TEST_F(FsmTest, ConfAckWithNothingOfferedIsDevIpAlone) {
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0],
            Cat({kSkavToDevice,
                 {0x00, 0x00, 0x03, 0x00, 0x00, 0x12},
                 {0x00, 0x02, 0x00, 0x0c, 10, 0, 0, 2, 255, 0, 0, 0}}));
}

TEST_F(FsmTest, NoDumpWithoutDebugWindowButRepliesStillGo) {
  TimedClient& c = rig.MakeClient();
  rig.slot.store(nullptr);
  Skav(c, kConfReq);
  EXPECT_EQ(rig.Sent().size(), 1u);
  EXPECT_TRUE(rig.log.Lines().empty());
}

TEST_F(FsmTest, ConfReqOutsideCreatedAndActiveIsOnlyDumped) {
  TimedClient& c = rig.MakeClient();
  for (int32_t s :
       {TftpUploading, TftpSending, TftpLastBlock, Closing, Closed}) {
    c.SetState(s);
    rig.log.Clear();
    Skav(c, kConfReq);
    EXPECT_EQ(c.State(), s);
    EXPECT_EQ(rig.log.Lines(), (Lines{Tag(" RX SKAV CONF-REQ: \r\n")}));
  }
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_TRUE(c.started.empty());
  EXPECT_TRUE(c.killed.empty());
}

// --- parse failures -----------------------------------------------------

TEST_F(FsmTest, FalseCreationClosesWithExitReport) {
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  // CONF-REQ carrying a MAGIC-NO that is not "KSTN": option rule broken.
  Skav(c, {0, 0, 2, 0, 0, 14, 0, 1, 0, 8, 'K', 'S', 'T', 'X'});
  EXPECT_EQ(c.State(), Closed);
  EXPECT_EQ(rig.log.Lines(),
            (Lines{"[Error] SKAV_MsgParsing() fails (5)\r\n",
                   Tag(" false creation, to be removed\r\n"),
                   Tag(" exits. TFTP: None, FW Upgrade: None, Graceful "
                       "Closing: No.\r\n")}));
  EXPECT_EQ(rig.log.Notes().back(), LineNote::kOutcomeError);
  EXPECT_EQ(clientExited.load(), 1);
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_TRUE(c.started.empty());
  EXPECT_EQ(ClientOutcome(c), Outcome::kError);
}

TEST_F(FsmTest, ParseFailureLaterIsOnlyReported) {
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  rig.log.Clear();
  Skav(c, {0, 0, 2, 0, 0});  // shorter than a header
  EXPECT_EQ(rig.log.Lines(),
            (Lines{"[Error] SKAV_MsgParsing() fails (1)\r\n"}));
  EXPECT_EQ(c.State(), Active);
  EXPECT_EQ(clientExited.load(), 0);
}

// --- KEEP-ALIVE-REQ -------------------------------------------------------

TEST_F(FsmTest, KeepAliveEchoesTheId) {
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  rig.port->ClearSent();

  Skav(c, kKeepAliveId);
  Skav(c, kKeepAlive);
  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], Cat({kSkavToDevice,
                          {0, 0, 7, 0, 0, 14},
                          {0, 3, 0, 8, 0xde, 0xad, 0xbe, 0xef}}));
  EXPECT_EQ(sent[1], Cat({kSkavToDevice, {0, 0, 7, 0, 0, 6}}));
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000, 60000, 60000}));
  EXPECT_EQ(c.State(), Active);
}

TEST_F(FsmTest, KeepAliveAndCloseDuringATransferAreIgnored) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  ASSERT_EQ(c.State(), TftpUploading);
  for (int step = 0; step < 2; ++step) {
    const auto started = c.started;
    const auto killed = c.killed;
    rig.port->ClearSent();
    Skav(c, kKeepAliveId);
    Skav(c, kCloseReq);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(c.started, started);  // the TFTP timer runs on
    EXPECT_EQ(c.killed, killed);
    EXPECT_FALSE(c.HasFlag(gracefulClosing));
    DeviceAck(c, 0);
    ASSERT_EQ(c.State(), TftpSending);
  }
}

TEST_F(FsmTest, RequestsAStateDoesNotActOnAreOnlyDumped) {
  rig.SetImage(0, Pattern(2000));
  struct Case {
    int32_t state;
    Bytes request;
    const char* dump;
  };
  const Case cases[] = {
      {Created, kKeepAliveId, " RX SKAV KEEP-ALIVE-REQ: ID(0xdeadbeef) \r\n"},
      {Closing, kKeepAlive, " RX SKAV KEEP-ALIVE-REQ: \r\n"},
      {TftpLastBlock, kKeepAlive, " RX SKAV KEEP-ALIVE-REQ: \r\n"},
      {Created, kCloseReq, " RX SKAV CLOSE-REQ: \r\n"},
      {Created, kUlReq, " RX SKAV TFTP-UL-REQ: \r\n"},
      {Closing, kUlReq, " RX SKAV TFTP-UL-REQ: \r\n"},
  };
  for (const Case& k : cases) {
    TimedClient& c = rig.MakeClient();
    c.SetState(k.state);
    c.fileIndex = 3;
    rig.port->ClearSent();
    rig.log.Clear();
    clientExited.store(0);

    Skav(c, k.request);

    EXPECT_EQ(rig.log.Lines(), (Lines{Tag(k.dump)})) << k.dump << " in " << k.state;
    EXPECT_EQ(c.State(), k.state) << k.dump;
    EXPECT_TRUE(rig.Sent().empty()) << k.dump << " in " << k.state;
    EXPECT_TRUE(c.started.empty()) << k.dump << " in " << k.state;
    EXPECT_TRUE(c.killed.empty()) << k.dump << " in " << k.state;
    EXPECT_EQ(c.flags.load(), 0u) << k.dump << " in " << k.state;
    EXPECT_EQ(c.fileIndex, 3) << k.dump;
    EXPECT_EQ(c.sock, -1) << k.dump;
    EXPECT_EQ(clientExited.load(), 0) << k.dump;
  }
}

// --- CLOSE-REQ ------------------------------------------------------------

TEST_F(FsmTest, CloseInActiveThenAgainInClosingThenTimeout) {
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  rig.port->ClearSent();
  rig.log.Clear();

  Skav(c, kCloseReq);
  EXPECT_EQ(c.State(), Closing);
  EXPECT_TRUE(c.HasFlag(gracefulClosing));
  EXPECT_FALSE(c.HasFlag(fwUpgradeDone));  // tftpDone was not set
  EXPECT_EQ(c.started.back(), 6000u);
  EXPECT_TRUE(rig.log.Has(Tag(" go to 'Closing' state\r\n")));

  Skav(c, kCloseReq);
  EXPECT_EQ(c.State(), Closing);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000, 6000, 6000}));
  EXPECT_EQ(rig.log.Count(Tag(" go to 'Closing' state\r\n")), 1);
  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& f : sent)
    EXPECT_EQ(f, Cat({kSkavToDevice, {0, 0, 5, 0, 0, 6}}));

  rig.log.Clear();
  c.SKAVDOnTimer();
  EXPECT_EQ(c.State(), Closed);
  EXPECT_EQ(rig.log.Lines(),
            (Lines{Tag(" 'Closing' timeouts, go to 'Closed' state\r\n"),
                   Tag(" exits. TFTP: None, FW Upgrade: None, Graceful "
                       "Closing: Yes.\r\n")}));
  EXPECT_EQ(c.timerId, 0u);
  EXPECT_EQ(c.started.size(), 3u);              // nothing runs after Closed
  EXPECT_EQ(ClientOutcome(c), Outcome::kDone);  // nothing was offered
  // Its exit report reads "FW Upgrade: None", yet tells the outcome Done.
  EXPECT_EQ(rig.log.Notes().back(), LineNote::kOutcomeDone);
}

TEST_F(FsmTest, CloseBeforeUploadingWithFirmwareIsError) {
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kCloseReq);
  c.SKAVDOnTimer();
  EXPECT_EQ(c.State(), Closed);
  EXPECT_FALSE(c.HasFlag(fwUpgradeDone));
  EXPECT_EQ(ClientOutcome(c), Outcome::kError);
}

TEST_F(FsmTest, CloseDuringLastBlockCompletesTheImage) {
  rig.SetImage(0, Pattern(700));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  AckWholeImage(rig, c, /*ackLast=*/false);
  ASSERT_EQ(c.State(), TftpLastBlock);
  rig.log.Clear();

  Skav(c, kCloseReq);
  EXPECT_EQ(c.State(), Closing);
  EXPECT_EQ(c.started.back(), 6000u);
  EXPECT_TRUE(c.HasFlag(gracefulClosing));
  EXPECT_TRUE(c.HasFlag(tftpDone));
  EXPECT_TRUE(c.HasFlag(fwUpgradeDone));
  const auto lines = rig.log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{Tag(" TFTP upload completion status: FW (Yea), ST "
                       "(00000000)\r\n"),
                   Tag(" TFTP uploading done (file 0, implicitly acked w/ "
                       "CLOSE-REQ), go to 'Closing' state\r\n")}));
  c.SKAVDOnTimer();
  EXPECT_EQ(ClientOutcome(c), Outcome::kDone);
}

// --- TFTP-UL-REQ ----------------------------------------------------------

TEST_F(FsmTest, UlReqStartsTheUpload) {
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  rig.port->ClearSent();
  rig.log.Clear();

  Skav(c, kUlReq);
  EXPECT_EQ(c.State(), TftpUploading);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000, 500}));
  EXPECT_EQ(c.killed, (std::vector<uint32_t>{1}));
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0].size(), 59u);
  EXPECT_EQ(rig.log.Lines(),
            (Lines{Tag(" RX SKAV TFTP-UL-REQ: \r\n"), Tag(" TX TFTP WRQ\r\n"),
                   Tag(" go to 'TFTP-Uploading' state, start TFTP uploading, "
                       "file (0)\r\n")}));
}

TEST_F(FsmTest, UlReqForAnImageNotLoadedChangesNothing) {
  rig.SetImage(0, Pattern(10));
  rig.SetImage(1, Pattern(10));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  c.fileIndex = 1;
  rig.port->ClearSent();
  rig.log.Clear();

  Skav(c, UlReq("string table 4"));
  EXPECT_EQ(c.State(), Active);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000}));
  EXPECT_TRUE(c.killed.empty());
  EXPECT_EQ(c.fileIndex, 1);
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_EQ(rig.log.Lines().back(),
            Tag(": requested file \"string table 4\" is not available\r\n"));
}

TEST_F(FsmTest, UlReqThatCannotStartStaysActive) {
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  rig.port->SetSendFailure(true);
  Skav(c, kUlReq);
  EXPECT_EQ(c.State(), Active);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000, 60000}));
  EXPECT_TRUE(rig.log.Has(
      Tag(" Fail to start TFTP firmware uploading (3), file (0)\r\n")));
}

TEST_F(FsmTest, RepeatedUlReqResendsTheWrqOnly) {
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  c.SKAVDOnTimer();  // one retry already counted
  const auto started = c.started;
  const auto killed = c.killed;
  rig.port->ClearSent();
  rig.log.Clear();

  Skav(c, kUlReq);
  EXPECT_EQ(c.State(), TftpUploading);
  EXPECT_EQ(c.retryCount, 1);
  EXPECT_EQ(c.started, started);
  EXPECT_EQ(c.killed, killed);
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(Be16(rig.Sent()[0], 42), 2);  // WRQ
  EXPECT_EQ(rig.log.Lines().back(), Tag(" TX (re-transmit) TFTP WRQ\r\n"));
}

TEST_F(FsmTest, UlReqWhileSendingIsIgnored) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  DeviceAck(c, 0);
  ASSERT_EQ(c.State(), TftpSending);
  const auto started = c.started;
  rig.port->ClearSent();
  Skav(c, kUlReq);
  EXPECT_EQ(c.State(), TftpSending);
  EXPECT_EQ(c.started, started);
  EXPECT_TRUE(rig.Sent().empty());
}

TEST_F(FsmTest, LostFinalAckThenNextRequestCompletesAndStartsNext) {
  rig.SetImage(0, Pattern(600));
  rig.SetImage(2, Pattern(30));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  AckWholeImage(rig, c, /*ackLast=*/false);
  ASSERT_EQ(c.State(), TftpLastBlock);
  rig.log.Clear();
  c.started.clear();

  Skav(c, UlReq("string table 2"));
  EXPECT_EQ(c.State(), TftpUploading);
  EXPECT_EQ(c.fileIndex, 2);
  EXPECT_EQ(c.fwDone, 1);
  EXPECT_EQ(c.started, (std::vector<uint32_t>{60000, 500}));
  const auto lines = rig.log.Lines();
  const Lines expected = {
      Tag(" RX SKAV TFTP-UL-REQ: FILE-NAME(\"string table 2\") \r\n"),
      Tag(" TFTP upload completion status: FW (Yea), ST (00000000)\r\n"),
      Tag(" TFTP uploading done (file 0, implicitly acked w/ TFTP-UL-REQ), go "
          "to 'Active' state\r\n"),
      Tag(" TX TFTP WRQ\r\n"),
      Tag(" go to 'TFTP-Uploading' state, start TFTP uploading, file (2)\r\n")};
  EXPECT_EQ(lines, expected);
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0].size(), 66u);  // "string table 02" WRQ
}

// --- timers during a transfer ---------------------------------------------

TEST_F(FsmTest, UnansweredWrqIsSentFiveTimesThenFails) {
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  rig.log.Clear();
  c.started.clear();
  Skav(c, kUlReq);
  for (int i = 0; i < 5; ++i) c.SKAVDOnTimer();

  Lines tftp;
  for (const auto& l : rig.log.Lines())
    if (l.find("SKAV") == std::string::npos) tftp.push_back(l);
  Lines expected = {Tag(" TX TFTP WRQ\r\n"),
                    Tag(" go to 'TFTP-Uploading' state, start TFTP uploading, "
                        "file (0)\r\n")};
  for (int i = 0; i < 4; ++i) {
    expected.push_back(Tag(" TFTP WRQ timeout, re-transmit...\r\n"));
    expected.push_back(Tag(" TX (re-transmit) TFTP WRQ\r\n"));
  }
  expected.push_back(Tag(" TFTP fails (timeout), go to 'Active' state\r\n"));
  EXPECT_EQ(tftp, expected);
  EXPECT_EQ(rig.log.Notes().back(), LineNote::kTrouble) << "a failed transfer, whatever its words";

  // Five 500 ms waits from the first WRQ: the failure comes at 2500 ms.
  EXPECT_EQ(c.started, (std::vector<uint32_t>{500, 500, 500, 500, 500, 60000}));
  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 6u);  // CONF-ACK and five WRQs
  for (size_t i = 1; i < 6; ++i) {
    // The same WRQ each time; only identification and checksum move on.
    EXPECT_EQ(Bytes(sent[i].begin(), sent[i].begin() + 18),
              Bytes(sent[1].begin(), sent[1].begin() + 18));
    EXPECT_EQ(Bytes(sent[i].begin() + 26, sent[i].end()),
              Bytes(sent[1].begin() + 26, sent[1].end()));
    EXPECT_EQ(int(Be16(sent[i], 18)), int(Be16(sent[1], 18) + i - 1));
  }
  EXPECT_EQ(c.State(), Active);
  EXPECT_TRUE(c.HasFlag(tftpFailed));

  // The Active timer after the failure ends the client like any other.
  c.SKAVDOnTimer();
  EXPECT_EQ(c.State(), Closed);
  EXPECT_EQ(rig.log.Lines().back(),
            Tag(" exits. TFTP: Failed, FW Upgrade: None, Graceful Closing: "
                "No.\r\n"));
}

TEST_F(FsmTest, SilentDeviceDuringDataGetsTheBlockAgainQuietly) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  DeviceAck(c, 0);
  DeviceAck(c, 1);
  ASSERT_EQ(c.State(), TftpSending);
  rig.port->ClearSent();
  rig.log.Clear();

  for (int i = 0; i < 4; ++i) c.SKAVDOnTimer();
  EXPECT_TRUE(rig.log.Lines().empty());  // no line for a DATA retransmit
  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 4u);
  for (const auto& f : sent) EXPECT_EQ(Be16(f, 44), 2);
  // An answer in time resets the count for the next block.
  DeviceAck(c, 2);
  EXPECT_EQ(c.retryCount, 0);
  EXPECT_EQ(c.State(), TftpSending);
}

TEST_F(FsmTest, DuplicateAckZeroLeavesTheTimerAlone) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  DeviceAck(c, 0);
  const auto started = c.started;
  const auto killed = c.killed;
  const uint32_t timer = c.timerId;
  rig.port->ClearSent();

  DeviceAck(c, 0);
  EXPECT_EQ(c.State(), TftpSending);
  EXPECT_EQ(c.started, started);
  EXPECT_EQ(c.killed, killed);
  EXPECT_EQ(c.timerId, timer);
  EXPECT_TRUE(rig.Sent().empty());
}

// --- received datagrams ---------------------------------------------------

TEST_F(FsmTest, AckFromAnyPortIsTakenWhileTheWrqIsOpen) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  rig.port->ClearSent();
  DeviceAck(c, 0, 51234);
  EXPECT_EQ(c.State(), TftpSending);
  EXPECT_EQ(c.peerPort, NetPort(51234));
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(Be16(rig.Sent()[0], 36), 51234);
  EXPECT_EQ(c.started.back(), 500u);
}

TEST_F(FsmTest, StrangerPortGetsErrorFiveAndTheTransferGoesOn) {
  rig.SetImage(0, Pattern(1000));  // two blocks: Sending, then Last-Block
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  DeviceAck(c, 0);
  for (int32_t state : {TftpSending, TftpLastBlock}) {
    ASSERT_EQ(c.State(), state);
    const int block = c.blockNo;
    const auto started = c.started;
    rig.port->ClearSent();
    rig.log.Clear();

    DeviceAck(c, uint16_t(block), 40001);
    ASSERT_EQ(rig.Sent().size(), 1u);
    const Bytes f = rig.Sent()[0];
    EXPECT_EQ(Be16(f, 34), HostPort(c.localPort));
    EXPECT_EQ(Be16(f, 36), 40001);
    const std::string text = "Inconsistent UDP source port";
    Bytes tftp = {0, 5, 0, 5};
    tftp.insert(tftp.end(), text.begin(), text.end());
    tftp.push_back(0);
    EXPECT_EQ(Bytes(f.begin() + 42, f.end()), tftp);
    EXPECT_EQ(rig.log.Lines(),
              (Lines{Tag(" TX TFTP Error: Inconsistent UDP source port\r\n")}));
    EXPECT_EQ(c.State(), state);
    EXPECT_EQ(c.blockNo, block);
    EXPECT_EQ(c.started, started);
    EXPECT_EQ(c.peerPort, NetPort(40000));
    DeviceAck(c, uint16_t(block));  // the device's own port carries on
  }
}

TEST_F(FsmTest, MalformedDatagramsAreDroppedWithoutAWord) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  DeviceAck(c, 0);
  ASSERT_EQ(c.State(), TftpSending);
  const uint16_t local = HostPort(c.localPort);
  const Bytes good = DevicePacket(40000, local, Ack(1));

  auto Mend = [](Bytes p) {  // recompute the header checksum
    const size_t hl = (p[0] & 0x0F) * 4u;
    p[10] = p[11] = 0;
    const uint16_t cs = OnesComplementSum(p.data(), std::min(hl, p.size()));
    p[10] = uint8_t(cs >> 8);
    p[11] = uint8_t(cs);
    return p;
  };
  auto With = [&](size_t at, uint8_t v, bool mend = true) {
    Bytes p = good;
    p[at] = v;
    return mend ? Mend(p) : p;
  };
  struct Case {
    const char* what;
    Bytes pkt;
  };
  std::vector<Case> cases = {
      {"19 bytes", Bytes(good.begin(), good.begin() + 19)},
      {"header length beyond the bytes", With(0, 0x4F)},
      {"header length below 20", With(0, 0x44)},
      {"header length 0", With(0, 0x40)},
      {"bad checksum", With(11, uint8_t(good[11] ^ 1), false)},
      {"version 6", With(0, 0x65)},
      {"protocol TCP", With(9, 6)},
      {"to 10.0.0.2", With(19, 2)},
      {"total beyond the bytes", With(3, uint8_t(good[3] + 1))},
      {"total below the header", With(3, 19)},
      {"total leaves under 8", With(3, 27)},
      {"other UDP port", With(23, uint8_t(good[23] ^ 1))},
      {"UDP length beyond total", With(25, uint8_t(good[25] + 1))},
      {"UDP length under 12", With(25, 11)},
      {"cut inside the UDP header",
       Mend(Bytes(good.begin(), good.begin() + 24))},
  };
  {
    // Total length and bytes agree, but end inside the UDP header.
    Bytes p(good.begin(), good.begin() + 24);
    p[3] = 24;
    cases.push_back({"UDP header beyond the datagram", Mend(p)});
  }
  {
    // A 24-byte header whose option byte is all that was received of it.
    Bytes p = good;
    p[0] = 0x46;
    p.resize(24);
    cases.push_back({"options then nothing", Mend(p)});
  }
  {
    // Claims a 60-byte header in 40 bytes: the checksum must not read on.
    Bytes p = good;
    p.resize(40, 0);
    p[0] = 0x4F;
    cases.push_back({"60-byte header in 40 bytes", Mend(p)});
  }

  const auto started = c.started;
  const auto killed = c.killed;
  rig.port->ClearSent();
  rig.log.Clear();
  for (const auto& k : cases) {
    Ip(c, k.pkt);
    EXPECT_EQ(c.State(), TftpSending) << k.what;
    EXPECT_EQ(c.blockNo, 1) << k.what;
  }
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_TRUE(rig.log.Lines().empty());
  EXPECT_EQ(c.started, started);
  EXPECT_EQ(c.killed, killed);

  // The good one, padded as a short Ethernet frame, still counts.
  Bytes padded = good;
  padded.resize(46, 0);
  Ip(c, padded);
  EXPECT_EQ(c.blockNo, 2);

  // So does one whose header carries options: the UDP header follows them.
  Bytes withOptions = DevicePacket(40000, local, Ack(2));
  withOptions.insert(withOptions.begin() + 20, {1, 1, 1, 0});  // NOPs, EOL
  withOptions[0] = 0x46;
  withOptions[3] = uint8_t(withOptions[3] + 4);
  Ip(c, Mend(withOptions));
  EXPECT_EQ(c.blockNo, 3);
}

TEST_F(FsmTest, DatagramsOutsideATransferAreDropped) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  const uint16_t local = HostPort(c.localPort);
  c.SetState(Active);  // as after a failure
  rig.port->ClearSent();
  Ip(c, DevicePacket(40000, local, Ack(0)));
  Ip(c, DevicePacket(40001, local, Ack(0)));
  EXPECT_EQ(c.State(), Active);
  EXPECT_TRUE(rig.Sent().empty());
}

TEST_F(FsmTest, ErrorFromTheDeviceAbortsToActive) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  DeviceAck(c, 0);
  const std::string text = "Access violation";
  Bytes err = {0, 5, 0, 2};
  err.insert(err.end(), text.begin(), text.end());
  err.push_back(0);
  Ip(c, DevicePacket(40000, HostPort(c.localPort), err));
  EXPECT_EQ(c.State(), Active);
  EXPECT_TRUE(c.HasFlag(tftpFailed));
  EXPECT_EQ(c.started.back(), 60000u);
  EXPECT_TRUE(
      rig.log.Has(Tag(" RX TFTP Error (2): Access violation\r\n "
                      "Uploading aborts, go to 'Active' state\r\n")));
}

// --- timers that cannot start, and timers in quiet states ----------------

TEST_F(FsmTest, TimerFailuresAreReportedAndTheStateStillMoves) {
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  c.failTimers = true;
  Skav(c, kConfReq);
  EXPECT_EQ(c.State(), Active);
  EXPECT_EQ(c.timerId, 0u);
  Skav(c, kKeepAlive);
  Skav(c, kUlReq);
  EXPECT_EQ(c.State(), TftpUploading);
  DeviceAck(c, 0);
  EXPECT_EQ(c.State(), TftpSending);
  c.SKAVDOnTimer();
  EXPECT_EQ(rig.log.Count("[Error] Fail to set Active-timer\r\n"), 2);
  EXPECT_TRUE(
      rig.log.Has("[Error] Fail to set the timer for TFTP PKT timeout "
                  "SKAVDRxTftpUlReq()\r\n"));
  EXPECT_TRUE(rig.log.Has("[Error] Fail to set TFTP/Active-timer\r\n"));
  EXPECT_TRUE(rig.log.Has("[Error] Fail to set TFTP timer: 500 ms\r\n"));

  c.SetState(Active);
  Skav(c, kCloseReq);
  EXPECT_TRUE(rig.log.Has("[Error] Fail to set Close-timer\r\n"));
  EXPECT_EQ(c.State(), Closing);
  EXPECT_TRUE(c.killed.empty());  // no timer ever ran
}

TEST_F(FsmTest, TimerInQuietStatesDoesNothing) {
  TimedClient& c = rig.MakeClient();
  for (int32_t s : {Created, Closed, Ended}) {
    c.SetState(s);
    c.SKAVDOnTimer();
    EXPECT_EQ(c.State(), s);
  }
  EXPECT_TRUE(c.started.empty());
  EXPECT_TRUE(rig.log.Lines().empty());
}

TEST_F(FsmTest, ActiveTimeoutEndsAQuietDevice) {
  TimedClient& c = rig.MakeClient();
  Skav(c, kConfReq);
  Skav(c, kKeepAlive);
  rig.log.Clear();
  c.SKAVDOnTimer();
  EXPECT_EQ(c.State(), Closed);
  EXPECT_EQ(rig.log.Lines(),
            (Lines{Tag(" 'Active' timeouts, go to 'Closed' state\r\n"),
                   Tag(" exits. TFTP: None, FW Upgrade: None, Graceful "
                       "Closing: No.\r\n")}));
  EXPECT_EQ(clientExited.load(), 1);

  // A Closed client is not served again.
  rig.port->ClearSent();
  Skav(c, kConfReq);
  Skav(c, kUlReq);
  Skav(c, kCloseReq);
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_EQ(c.State(), Closed);
}

// --- a whole device -------------------------------------------------------

TEST_F(FsmTest, FullRunFirmwareAndTwoTables) {
  const Bytes fw = Pattern(1500, 1);
  const Bytes t1 = {};
  const Bytes t3 = Pattern(512, 3);
  rig.SetImage(0, fw);
  rig.SetImage(1, t1);
  rig.SetImage(3, t3);
  TimedClient& c = rig.MakeClient(1);

  Skav(c, kConfReq);
  Skav(c, kKeepAliveId);
  Skav(c, kUlReq);
  EXPECT_EQ(AckWholeImage(rig, c), fw);
  EXPECT_EQ(c.State(), Active);
  Skav(c, UlReq("string table 1"));
  EXPECT_EQ(AckWholeImage(rig, c), t1);
  Skav(c, UlReq("String Table 03"));
  EXPECT_EQ(AckWholeImage(rig, c), t3);
  EXPECT_TRUE(c.HasFlag(tftpDone));
  EXPECT_EQ(c.started.back(), 60000u);
  Skav(c, kCloseReq);
  EXPECT_EQ(c.State(), Closing);
  c.SKAVDOnTimer();

  EXPECT_EQ(c.State(), Closed);
  EXPECT_EQ(rig.log.Lines().back(),
            Tag(" exits. TFTP: Done, FW Upgrade: Done, Graceful Closing: "
                "Yes.\r\n"));
  EXPECT_EQ(ClientOutcome(c), Outcome::kDone);
  EXPECT_EQ(clientExited.load(), 1);
  const auto done = rig.log.Matching("explicitly acked");
  EXPECT_EQ(done,
            (Lines{Tag(" TFTP uploading done (file 0, explicitly acked), go "
                       "to 'Active' state\r\n"),
                   Tag(" TFTP uploading done (file 1, explicitly acked), go "
                       "to 'Active' state\r\n"),
                   Tag(" TFTP uploading done (file 3, explicitly acked), go "
                       "to 'Active' state\r\n")}));
}
