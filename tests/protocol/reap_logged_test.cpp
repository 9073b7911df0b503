// Clear while a log file is open: only clients whose outcome line has been
// written may be removed, so a device that closes just as Clear is served
// keeps its line in the permanent record.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/memory_port.h"
#include "protocol/client_table.h"
#include "protocol/client_thread.h"
#include "protocol/server_thread.h"
#include "support/server_run.h"

namespace {

using server_run::ThreadCount;
using server_run::ThreadCountAfterJoins;

const uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
uint8_t gFirmware[3] = {1, 2, 3};

class ReapLoggedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    iface_ = MakeMemoryIf(kServerMac, &port_);
    ctx_.link = iface_.get();
    slot_.store(&log_);
    ctx_.logSlot = &slot_;
    ctx_.images.buf[0] = gFirmware;  // with a firmware, Done needs fwUpgradeDone
    ctx_.images.len[0] = sizeof gFirmware;
    SKAVDResetPoolForTest();
    gClientList = nullptr;
    clientExited = 0;
    baseThreads_ = ThreadCount();
  }
  void TearDown() override {
    SKAVDEndAllClients();
    ctx_.images.buf[0] = nullptr;  // not ours to free
    ctx_.images.len[0] = 0;
  }

  void Add(uint8_t last, uint32_t flags) {
    const uint8_t mac[6] = {0, 0, 0, 0, 0, last};
    CClientThread* c = SKAVDGetClient(mac, true, ctx_);
    ASSERT_NE(c, nullptr);
    c->SetState(Closed);
    c->SetFlag(flags);
  }
  static std::vector<int> Lasts() {
    std::vector<int> v;
    for (CClientThread* c = gClientList; c; c = c->Next()) v.push_back(c->mac[5]);
    return v;
  }
  static CClientThread* Find(uint8_t last) {
    for (CClientThread* c = gClientList; c; c = c->Next())
      if (c->mac[5] == last) return c;
    return nullptr;
  }

  MemoryPort* port_ = nullptr;
  std::unique_ptr<L2_If> iface_;
  server_run::TextLog log_;
  LogSlot slot_{nullptr};
  SKAVDContext ctx_;
  int baseThreads_ = 0;
};

TEST_F(ReapLoggedTest, OnlyClientsWithTheirOutcomeWrittenLeaveAndTheRestWaitForTheNextClear) {
  const uint32_t done = tftpDone | fwUpgradeDone | gracefulClosing;
  Add(1, done | outcomeLogged);           // Done, written: goes
  Add(2, done);                           // Done, closed after the write: stays
  Add(3, falseCreation);                  // false creation, not written: stays
  Add(4, falseCreation | outcomeLogged);  // false creation, written: goes
  Add(5, tftpFailed | outcomeLogged);     // Error: stays whatever was written
  ASSERT_EQ(ThreadCount(), baseThreads_ + 5);

  SKAVDReapClients(outcomeLogged);
  EXPECT_EQ(Lasts(), (std::vector<int>{2, 3, 5}));
  EXPECT_EQ(ThreadCountAfterJoins(baseThreads_ + 3), baseThreads_ + 3)
      << "the removed clients' threads have ended";

  // The next cycle writes their lines; the next Clear takes them.
  Find(2)->SetFlag(outcomeLogged);
  Find(3)->SetFlag(outcomeLogged);
  SKAVDReapClients(outcomeLogged);
  EXPECT_EQ(Lasts(), (std::vector<int>{5}));
}

TEST_F(ReapLoggedTest, WithoutALogFileEveryDoneClientLeavesAsBefore) {
  const uint32_t done = tftpDone | fwUpgradeDone | gracefulClosing;
  Add(1, done);
  Add(2, falseCreation);
  Add(3, tftpFailed);
  SKAVDReapClients(0);
  EXPECT_EQ(Lasts(), (std::vector<int>{3}));
}

}  // namespace
