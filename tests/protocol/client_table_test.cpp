// The client table: MAC order, find-or-create, the address pool, reaping,
// ending every client, and the outcome rules.
#include "protocol/client_table.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "link/memory_port.h"
#include "protocol/client_thread.h"
#include "protocol/server_thread.h"
#include "support/client_harness.h"
#include "support/server_run.h"

namespace {

using server_run::NewClientLine;
using harness::OpenFds;
using server_run::TextLog;
using server_run::ThreadCount;
using server_run::WaitFor;

const uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

struct Mac {
  uint8_t b[6];
};
Mac M(uint8_t b0, uint8_t b5) { return Mac{{b0, 0, 0, 0, 0, b5}}; }

uint8_t gFirmware[3] = {1, 2, 3};

class ClientTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    iface_ = MakeMemoryIf(kServerMac, &port_);
    ctx_.link = iface_.get();
    slot_.store(&log_);
    ctx_.logSlot = &slot_;
    SKAVDResetPoolForTest();
    gClientList = nullptr;
    clientExited = 0;
    baseThreads_ = ThreadCount();
  }
  void TearDown() override {
    SKAVDSetClientFaultForTest(nullptr);
    SKAVDEndAllClients();
  }

  CClientThread* Get(const Mac& mac, bool create) {
    return SKAVDGetClient(mac.b, create, ctx_);
  }
  static std::vector<std::string> ListMacs() {
    std::vector<std::string> macs;
    for (CClientThread* c = gClientList; c; c = c->Next())
      macs.push_back(server_run::MacText(c->mac));
    return macs;
  }
  static std::string Ip(uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &networkOrder, text, sizeof text);
    return text;
  }

  MemoryPort* port_ = nullptr;
  std::unique_ptr<L2_If> iface_;
  TextLog log_;
  LogSlot slot_{nullptr};
  SKAVDContext ctx_;
  int baseThreads_ = 0;
};

TEST_F(ClientTableTest, ListIsAscendingByUnsignedMacBytes) {
  ASSERT_NE(Get(M(0x00, 0x02), true), nullptr);
  ASSERT_NE(Get(M(0x00, 0x01), true), nullptr);
  ASSERT_NE(Get(M(0x80, 0x00), true), nullptr);  // above 0x7f unsigned
  ASSERT_NE(Get(M(0x7f, 0xff), true), nullptr);
  ASSERT_NE(Get(M(0x00, 0x03), true), nullptr);  // at the end of the 00 run

  EXPECT_EQ(ListMacs(), (std::vector<std::string>{
                            "00-00-00-00-00-01", "00-00-00-00-00-02",
                            "00-00-00-00-00-03", "7f-00-00-00-00-ff",
                            "80-00-00-00-00-00"}));
  // Addresses go by arrival, not by place in the list.
  EXPECT_EQ(log_.Text(), NewClientLine(M(0, 2).b, "10.0.0.2") +
                             NewClientLine(M(0, 1).b, "10.0.0.3") +
                             NewClientLine(M(0x80, 0).b, "10.0.0.4") +
                             NewClientLine(M(0x7f, 0xff).b, "10.0.0.5") +
                             NewClientLine(M(0, 3).b, "10.0.0.6"));
  EXPECT_EQ(ThreadCount(), baseThreads_ + 5) << "one thread per client";
}

TEST_F(ClientTableTest, RepeatedConfReqFindsTheSameClientWithoutANewAddress) {
  CClientThread* first = Get(M(0, 0x0a), true);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Get(M(0, 0x0a), true), first);
  EXPECT_EQ(Get(M(0, 0x0a), false), first);
  EXPECT_EQ(Ip(first->ipAddr), "10.0.0.2");

  CClientThread* second = Get(M(0, 0x0b), true);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Ip(second->ipAddr), "10.0.0.3");
  EXPECT_EQ(log_.Count("New client: "), 2);
  EXPECT_EQ(ThreadCount(), baseThreads_ + 2);
}

TEST_F(ClientTableTest, WithoutCreationAnUnknownMacGivesNoneAndChangesNothing) {
  ASSERT_NE(Get(M(0, 0x05), true), nullptr);
  std::string logBefore = log_.Text();

  EXPECT_EQ(Get(M(0, 0x04), false), nullptr);  // before the head
  EXPECT_EQ(Get(M(0, 0x06), false), nullptr);  // behind the tail
  EXPECT_EQ(ListMacs(), std::vector<std::string>{"00-00-00-00-00-05"});
  EXPECT_EQ(log_.Text(), logBefore);
  EXPECT_EQ(ThreadCount(), baseThreads_ + 1);

  // The pool did not move either.
  CClientThread* next = Get(M(0, 0x06), true);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(Ip(next->ipAddr), "10.0.0.3");
}

TEST_F(ClientTableTest, MalformedFirstFrameEndsAsFalseCreation) {
  CClientThread* client = Get(M(0, 0x0c), true);
  ASSERT_NE(client, nullptr);
  // Coded CONF-REQ, but DEV-IP with 4 value bytes instead of 8.
  ASSERT_TRUE(client->PostThreadMessage(
      WM_SKAV_MSG, {0x00, 0x00, 0x02, 0x00, 0x00, 0x0e, 0x00, 0x02, 0x00,
                    0x08, 0x0a, 0x00, 0x00, 0x02}));
  ASSERT_TRUE(WaitFor([&] { return client->HasFlag(falseCreation); }));
  EXPECT_EQ(client->State(), Closed);
  EXPECT_EQ(clientExited.load(), 1) << "the exit must wake the server";
  EXPECT_TRUE(log_.Has("[00-00-00-00-00-0c] false creation, to be removed\r\n"));
}

TEST_F(ClientTableTest, AWellFormedFirstFrameIsNoFalseCreation) {
  CClientThread* client = Get(M(0, 0x0d), true);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->PostThreadMessage(WM_SKAV_MSG,
                                        {0x00, 0x00, 0x02, 0x00, 0x00, 0x06}));
  ASSERT_TRUE(WaitFor([&] { return client->State() == Active; }));
  // A later message that does not parse leaves an Active client alone.
  ASSERT_TRUE(client->PostThreadMessage(WM_SKAV_MSG, {0x00, 0x00, 0x02}));
  ASSERT_TRUE(WaitFor([&] { return log_.Has("SKAV_MsgParsing() fails"); }));
  EXPECT_EQ(client->State(), Active);
  EXPECT_FALSE(client->HasFlag(falseCreation));
}

TEST_F(ClientTableTest, ClearEndsDoneClientsAndKeepsErrorAndReworkingInOrder) {
  ctx_.images.buf[0] = gFirmware;  // a firmware image is on offer
  ctx_.images.len[0] = sizeof gFirmware;
  struct Case {
    uint8_t last;
    int32_t state;
    uint32_t flags;
  };
  const Case cases[] = {
      {0x01, Closed, fwUpgradeDone | tftpDone | gracefulClosing},  // Done
      {0x02, Closed, 0},                                           // Error
      {0x03, Active, 0},                                           // Reworking
      {0x04, Closed, tftpDone | gracefulClosing},                  // Error
      {0x05, Closed, fwUpgradeDone},                               // Done
      {0x06, Created, 0},                                          // Reworking
      {0x07, Closed, falseCreation},                               // false creation
      {0x08, Closing, fwUpgradeDone},                              // Reworking
  };
  for (const Case& c : cases) {
    CClientThread* client = Get(M(0, c.last), true);
    ASSERT_NE(client, nullptr);
    client->SetState(c.state);
    client->SetFlag(c.flags);
  }
  ASSERT_EQ(ThreadCount(), baseThreads_ + 8);

  SKAVDReapClients();

  EXPECT_EQ(ListMacs(), (std::vector<std::string>{
                            "00-00-00-00-00-02", "00-00-00-00-00-03",
                            "00-00-00-00-00-04", "00-00-00-00-00-06",
                            "00-00-00-00-00-08"}));
  EXPECT_EQ(server_run::ThreadCountAfterJoins(baseThreads_ + 5), baseThreads_ + 5)
      << "reaped threads have ended";
  for (CClientThread* c = gClientList; c; c = c->Next())
    EXPECT_NE(c->State(), Ended);

  SKAVDReapClients();  // nothing more to reap
  EXPECT_EQ(ListMacs().size(), 5u);

  // A frame finds the records that stayed and none of those removed; a
  // removed device that asks again is a new client with a new address.
  for (const Case& c : cases) {
    CClientThread* found = Get(M(0, c.last), false);
    if (found) {
      EXPECT_EQ(found->mac[5], c.last);
    }
    EXPECT_EQ(found != nullptr, c.last != 0x01 && c.last != 0x05 && c.last != 0x07)
        << "device " << int(c.last);
  }
  CClientThread* back = Get(M(0, 0x05), true);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->State(), Created);
  EXPECT_EQ(Ip(back->ipAddr), "10.0.0.10");
  EXPECT_EQ(ListMacs()[3], "00-00-00-00-00-05");
}

TEST_F(ClientTableTest, EndAllEndsEveryThreadAndEmptiesTheList) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  for (uint8_t last = 1; last <= 6; ++last) {
    CClientThread* c = Get(M(0, last), true);
    ASSERT_NE(c, nullptr);
    if (last == 3) c->sock = fd;  // as if a transfer had reserved a port
  }
  ASSERT_EQ(ThreadCount(), baseThreads_ + 6);

  SKAVDEndAllClients();

  EXPECT_EQ(gClientList, nullptr);
  EXPECT_EQ(ThreadCount(), baseThreads_);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the client's socket stayed open";
}

TEST_F(ClientTableTest, AClosedClientEndsItsThreadGivesBackItsSocketAndKeepsItsRecord) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  CClientThread* client = Get(M(0, 0x0f), true);
  ASSERT_NE(client, nullptr);
  client->sock = fd;  // as if a transfer had reserved a port
  ASSERT_EQ(ThreadCount(), baseThreads_ + 1);
  // A first frame that does not parse: the client goes straight to Closed.
  ASSERT_TRUE(client->PostThreadMessage(
      WM_SKAV_MSG, {0x00, 0x00, 0x02, 0x00, 0x00, 0x0e, 0x00, 0x02, 0x00,
                    0x08, 0x0a, 0x00, 0x00, 0x02}));
  // Without Clear or Stop: the server's cycle joins the ended thread.
  ASSERT_TRUE(WaitFor([&] {
    SKAVDJoinEndedClients();
    return ThreadCount() == baseThreads_;
  })) << "the Closed client's thread did not end";
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the Closed client kept its socket";
  EXPECT_EQ(client->sock, -1);

  // The record stays for the panel, the log file and Clear.
  EXPECT_EQ(ListMacs(), std::vector<std::string>{"00-00-00-00-00-0f"});
  EXPECT_EQ(client->State(), Closed);
  EXPECT_TRUE(client->HasFlag(falseCreation));
  EXPECT_EQ(Get(M(0, 0x0f), true), client) << "a finished device got a new client";
  EXPECT_FALSE(client->PostThreadMessage(WM_SKAV_MSG, {0x00, 0x00, 0x02, 0x00, 0x00, 0x06}));
  EXPECT_EQ(log_.Count("New client: "), 1);

  SKAVDReapClients();
  EXPECT_EQ(gClientList, nullptr);
}

TEST_F(ClientTableTest, TheReservedSocketIsHeldForItsTransferAloneAndTheClientGoesOn) {
  ctx_.images.buf[0] = gFirmware;  // one short block
  ctx_.images.len[0] = sizeof gFirmware;
  const int before = OpenFds();
  CClientThread* client = Get(M(0, 0x30), true);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->PostThreadMessage(WM_SKAV_MSG, {0, 0, 2, 0, 0, 6}));     // CONF-REQ
  ASSERT_TRUE(client->PostThreadMessage(WM_SKAV_MSG, {0, 0, 0x10, 0, 0, 6}));  // TFTP-UL-REQ
  // The WRQ (opcode 2) names the reserved port as its UDP source.
  auto tftpFrame = [&](uint8_t opcode) -> server_run::Bytes {
    for (const auto& f : port_->Sent())
      if (f.size() >= 44 && f[12] == 0x08 && f[13] == 0x00 && f[42] == 0 && f[43] == opcode)
        return f;
    return {};
  };
  ASSERT_TRUE(WaitFor([&] { return !tftpFrame(2).empty(); }));
  const server_run::Bytes wrq = tftpFrame(2);
  const uint16_t localPort = static_cast<uint16_t>(wrq[34] << 8 | wrq[35]);
  EXPECT_EQ(OpenFds(), before + 1) << "the transfer reserves one socket";

  ASSERT_TRUE(client->PostThreadMessage(WM_IP_PKT,
                                        harness::DevicePacket(40000, localPort, harness::Ack(0))));
  ASSERT_TRUE(WaitFor([&] { return !tftpFrame(3).empty(); }));  // DATA 1, the last block
  EXPECT_EQ(OpenFds(), before + 1) << "the socket went before the transfer ended";

  ASSERT_TRUE(client->PostThreadMessage(WM_IP_PKT,
                                        harness::DevicePacket(40000, localPort, harness::Ack(1))));
  ASSERT_TRUE(WaitFor([&] { return log_.Has("TFTP uploading done (file 0, explicitly acked)"); }));
  // The transfer is over, the client is not: it waits in Active, without
  // the descriptor, on its thread.
  EXPECT_TRUE(WaitFor([&] { return OpenFds() == before; }))
      << "the reserved socket outlived its transfer";
  EXPECT_EQ(client->State(), Active);
  EXPECT_EQ(ThreadCount(), baseThreads_ + 1);
  ctx_.images.buf[0] = nullptr;
  ctx_.images.len[0] = 0;
}

int FailSomeCreations(const uint8_t mac[6]) {
  if (mac[5] == 0x1f) return EAGAIN;  // no thread
  if (mac[5] == 0x2f) return ENOMEM;  // no record
  return 0;
}

TEST_F(ClientTableTest, AClientThatCannotBeMadeIsNamedOnceAndLeavesNothingBehind) {
  const std::string noThread =
      "[Error] Fail to create client 00-00-00-00-00-1f: CreateThread() fails "
      "(Resource temporarily unavailable)\r\n";
  const std::string noMemory =
      "[Error] Fail to create client 00-00-00-00-00-2f: out of memory\r\n";
  SKAVDSetClientFaultForTest(FailSomeCreations);
  for (int i = 0; i < 3; ++i) {  // the device keeps asking
    EXPECT_EQ(Get(M(0, 0x1f), true), nullptr);
    EXPECT_EQ(Get(M(0, 0x2f), true), nullptr);
  }
  EXPECT_EQ(log_.Count(noThread), 1) << log_.Text();
  EXPECT_EQ(log_.Count(noMemory), 1) << log_.Text();
  EXPECT_EQ(log_.Count("New client: "), 0);
  EXPECT_EQ(gClientList, nullptr);
  EXPECT_EQ(Get(M(0, 0x1f), false), nullptr);
  EXPECT_EQ(ThreadCount(), baseThreads_);

  // Every other device is served, from the first address: the failures
  // took none.
  CClientThread* other = Get(M(0, 0x20), true);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Ip(other->ipAddr), "10.0.0.2");

  // Once the system gives a thread again, the device's next CONF-REQ
  // gets its client.
  SKAVDSetClientFaultForTest(nullptr);
  CClientThread* late = Get(M(0, 0x1f), true);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(Ip(late->ipAddr), "10.0.0.3");
  EXPECT_EQ(ListMacs(), (std::vector<std::string>{"00-00-00-00-00-1f", "00-00-00-00-00-20"}));
  EXPECT_EQ(log_.Count(noThread), 1);

  // A new run forgets who was named: the same failure is told again.
  SKAVDEndAllClients();
  SKAVDSetClientFaultForTest(FailSomeCreations);
  EXPECT_EQ(Get(M(0, 0x2f), true), nullptr);
  EXPECT_EQ(log_.Count(noMemory), 2);
}

TEST_F(ClientTableTest, NotifyExitSetsTheFlagAndBreaksTheServerWait) {
  CClientThread* client = Get(M(0, 0x0e), true);
  ASSERT_NE(client, nullptr);
  SKAVDNotifyExit(*client);
  EXPECT_EQ(clientExited.load(), 1);
  L2_RxHandler ignore{[](void*, const L2_Frame&) { return 0; }, nullptr};
  // 2: the wait was broken, not timed out.
  EXPECT_EQ(L2_RxPkts(ctx_.link, ignore, 5000), 2);
}

TEST(AddressPool, StartsAt10_0_0_2AndWrapsAfter10_255_255_254) {
  SKAVDResetPoolForTest();
  // Every host address from 10.0.0.2 to 10.255.255.254, one after the other.
  const uint32_t count = 0x00FFFFFD;
  uint32_t wrong = 0, firstWrong = 0;
  for (uint32_t i = 1; i <= count; ++i) {
    uint32_t addr = ntohl(SKAVDAllocIp());
    if (addr != 0x0A000001 + i && wrong++ == 0) firstWrong = i;
  }
  EXPECT_EQ(wrong, 0u) << "first wrong address at call " << firstWrong;
  EXPECT_EQ(ntohl(SKAVDAllocIp()), 0x0A000002u) << "10.255.255.255 was given";
  EXPECT_EQ(ntohl(SKAVDAllocIp()), 0x0A000003u);
}

TEST(ClientOutcomeRules, FollowStateFlagsAndWhatWasOffered) {
  const uint8_t mac[6] = {0, 0, 0, 0, 0, 0x20};
  UploadImages nothing;
  UploadImages firmware;
  firmware.buf[0] = gFirmware;
  firmware.len[0] = sizeof gFirmware;
  UploadImages emptyFirmware;  // an empty file is still an image on offer
  emptyFirmware.buf[0] = gFirmware;
  emptyFirmware.len[0] = 0;
  UploadImages tablesOnly;
  tablesOnly.buf[1] = gFirmware;
  tablesOnly.buf[3] = gFirmware;
  tablesOnly.stMask = 0x5;

  struct Case {
    const UploadImages* images;
    int32_t state;
    uint32_t flags;
    Outcome outcome;
    const char* why;
  };
  const Case cases[] = {
      {&nothing, Created, 0, Outcome::kReworking, "not Closed"},
      {&nothing, Active, 0, Outcome::kReworking, "not Closed"},
      {&nothing, TftpUploading, 0, Outcome::kReworking, "not Closed"},
      {&nothing, Closing, fwUpgradeDone, Outcome::kReworking, "not Closed"},
      {&nothing, TftpSending, 0, Outcome::kReworking, "not Closed"},
      {&nothing, TftpLastBlock, 0, Outcome::kReworking, "not Closed"},
      {&nothing, Closed, 0, Outcome::kDone, "nothing offered"},
      {&firmware, Closed, 0, Outcome::kError, "firmware never uploaded"},
      {&firmware, Closed, tftpDone | gracefulClosing, Outcome::kError,
       "uploads alone are not enough"},
      {&firmware, Closed, fwUpgradeDone, Outcome::kDone, "upgrade done"},
      {&firmware, Active, fwUpgradeDone, Outcome::kReworking, "not Closed"},
      {&emptyFirmware, Closed, 0, Outcome::kError, "empty image is offered"},
      {&tablesOnly, Closed, 0, Outcome::kError, "tables offered"},
      {&tablesOnly, Closed, fwUpgradeDone, Outcome::kDone, "upgrade done"},
  };
  for (const Case& c : cases) {
    CClientThread client(nullptr, nullptr, mac, c.images, 0);
    client.SetState(c.state);
    client.SetFlag(c.flags);
    EXPECT_EQ(ClientOutcome(client), c.outcome)
        << "state " << c.state << " flags " << c.flags << ": " << c.why;
  }
}

TEST(ClientRecord, TakesOfferAndRegionFromCreationAndClosesItsOwnSocket) {
  const uint8_t mac[6] = {0, 0, 0, 0, 0, 0x21};
  UploadImages images;
  images.stMask = 0x22;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  {
    CClientThread client(nullptr, nullptr, mac, &images, 7);
    EXPECT_EQ(client.State(), Created);
    EXPECT_EQ(client.flags.load(), 0u);
    EXPECT_EQ(client.sock, -1);
    EXPECT_EQ(client.timerId, 0u);
    EXPECT_EQ(client.stMask, 0x22u);
    EXPECT_EQ(client.regionCode, 7);
    images.stMask = 0x3f;  // later changes are not the client's offer
    EXPECT_EQ(client.stMask, 0x22u);
    client.sock = fd;  // a thread that never ran leaves it to the record
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

}  // namespace
