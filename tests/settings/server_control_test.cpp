// Start and Stop without a network: every failure of the start sequence
// shows its message and leaves nothing open; a start over an in-memory
// link runs the server thread until Stop.
#include "console/server_control.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "console/run_supervisor.h"
#include "link/memory_port.h"
#include "support/netns.h"
#include "test_util.h"

namespace {

// A port that tells when the link that owns it has been closed.
class ProbePort : public MemoryPort {
 public:
  explicit ProbePort(std::atomic<bool>* closed) : closed_(closed) {}
  ~ProbePort() override { closed_->store(true); }

 private:
  std::atomic<bool>* closed_;
};

struct LinkLog {
  std::vector<std::string> opened;     // "name|description"
  std::vector<std::string> addressed;  // "description|addr|mask"
  std::atomic<bool> closed{false};
  ProbePort* port = nullptr;
  bool openFails = false;
  int setAddrResult = 0;
  std::string addrReason;
};

LinkOps FakeLink(LinkLog& log) {
  LinkOps ops;
  ops.open = [&log](const char* name, const char* description, char* errorText) -> L2_If* {
    log.opened.push_back(std::string(name) + "|" + description);
    if (log.openFails) {
      std::snprintf(errorText, 256, "%s", "socket: Operation not permitted");
      return nullptr;
    }
    auto* iface = new L2_If;
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::copy(mac, mac + 6, iface->mac);
    auto port = std::make_unique<ProbePort>(&log.closed);
    log.port = port.get();
    iface->port = std::move(port);
    return iface;
  };
  ops.setIfAddr = [&log](const char* description, const char* addr, const char* mask) {
    log.addressed.push_back(std::string(description) + "|" + addr + "|" + mask);
    return log.setAddrResult;
  };
  ops.ifAddrError = [&log] { return log.addrReason.c_str(); };
  // A made-up port is always up, keeps its address and never leaves.
  ops.takeUp = [](const char*) { return 0; };
  ops.keepIfAddr = [](const char*, const char*, const char*) { return 0; };
  ops.ifGone = [](const L2_If*, const char*) { return false; };
  return ops;
}

bool AllImagesEmpty(const UploadImages& images) {
  for (int i = 0; i < kImageCount; ++i) {
    if (images.buf[i] != nullptr) return false;
  }
  return true;
}

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class ServerControlTest : public ::testing::Test {
 protected:
  ServerControlTest() {
    ctx_.statusCtl = &status_;
    ctx_.panel.Set(sortKey, kSortMacUp);
    request_.interfaces = &threeIfs_;
    request_.interfaceItem = 2;  // entry 1, "veth-b"
    request_.logSlot = &slot_;
    L2_SetClaimDirForTest(claimDir_.c_str());
  }
  ~ServerControlTest() override { L2_SetClaimDirForTest(nullptr); }

  std::string Joined() const {
    std::string all;
    for (const auto& m : errors_.Messages()) all += m + "|";
    return all;
  }

  TempDir dir_;
  const std::string claimDir_ = dir_.File("claims");
  RecordingErrorSink errors_;
  RecordingLogSink debugWindow_;
  LogSlot slot_{&debugWindow_};
  L2_IfList threeIfs_ = MakeIfList({"veth-a", "veth-b", "veth-c"});
  L2_IfList oneIf_ = MakeIfList({"veth-a"});
  L2_IfList noIfs_;
  StatusText status_;
  SKAVDContext ctx_;
  LinkLog link_;
  StartRequest request_;
};

TEST_F(ServerControlTest, NoInterfaceChosenOpensNothing) {
  struct Case {
    const L2_IfList* list;
    int item;
  };
  const Case cases[] = {{&threeIfs_, 0}, {&threeIfs_, -1}, {&noIfs_, -1}, {&oneIf_, -1},
                        {&noIfs_, 0}};
  for (const Case& c : cases) {
    RecordingErrorSink errors;
    RecordingLogSink window;
    LogSlot slot{&window};
    ServerControl server(ctx_, FakeLink(link_));
    request_.interfaces = c.list;
    request_.interfaceItem = c.item;
    request_.logSlot = &slot;
    EXPECT_FALSE(server.Start(request_));
    ASSERT_EQ(errors.Messages().size(), 1u);
    EXPECT_EQ(errors.Messages()[0], "Please select a network interface to run the server");
    EXPECT_EQ(window.Text(), "SKAV Server is stopped.\r\n");
    EXPECT_FALSE(server.Running());
  }
  EXPECT_TRUE(link_.opened.empty());
}

TEST_F(ServerControlTest, TheOnlyInterfaceIsUsedWithoutAChoice) {
  link_.openFails = true;
  ServerControl server(ctx_, FakeLink(link_));
  request_.interfaces = &oneIf_;
  request_.interfaceItem = 0;
  EXPECT_FALSE(server.Start(request_));
  EXPECT_EQ(link_.opened, std::vector<std::string>{"dev0|veth-a"});
}

TEST_F(ServerControlTest, AnInterfaceThatCannotBeOpenedShowsTheReason) {
  link_.openFails = true;
  ServerControl server(ctx_, FakeLink(link_));
  EXPECT_FALSE(server.Start(request_));
  EXPECT_EQ(link_.opened, std::vector<std::string>{"dev1|veth-b"});
  EXPECT_EQ(Joined(), "Unable to open the interface: socket: Operation not permitted|");
  EXPECT_TRUE(link_.addressed.empty());
  EXPECT_EQ(debugWindow_.Text(), "SKAV Server is stopped.\r\n");
}

TEST_F(ServerControlTest, AnAddressThatCannotBeSetClosesTheLink) {
  link_.setAddrResult = 1;
  ServerControl server(ctx_, FakeLink(link_));
  EXPECT_FALSE(server.Start(request_));
  EXPECT_EQ(link_.addressed, std::vector<std::string>{"veth-b|10.0.0.1|255.0.0.0"});
  EXPECT_EQ(Joined(), "Unable to set IP address '10.0.0.1/255.0.0.0' to the interface 'veth-b'|");

  // The reason the address layer gives goes beside the message.
  link_.addrReason = "putting the server address on an interface needs the CAP_NET_ADMIN "
                     "capability";
  EXPECT_FALSE(server.Start(request_));
  EXPECT_EQ(Joined(), "Unable to set IP address '10.0.0.1/255.0.0.0' to the interface 'veth-b'|"
                      "Unable to set IP address '10.0.0.1/255.0.0.0' to the interface "
                      "'veth-b': putting the server address on an interface needs the "
                      "CAP_NET_ADMIN capability|");
  EXPECT_TRUE(link_.closed);
  EXPECT_EQ(server.Link(), nullptr);
  EXPECT_EQ(debugWindow_.Text(), "SKAV Server is stopped.\r\nSKAV Server is stopped.\r\n");
}

TEST_F(ServerControlTest, AFirmwareFileThatCannotBeLoadedClosesTheLink) {
  request_.firmwarePath = dir_.File("missing.bin");
  ServerControl server(ctx_, FakeLink(link_));
  EXPECT_FALSE(server.Start(request_));
  // One box, naming the file and why.
  EXPECT_EQ(errors_.Messages(),
            std::vector<std::string>{"Unable to load the firmware file '" +
                                     request_.firmwarePath +
                                     "' to memory (Fail to open the file: No such file or "
                                     "directory)"});
  EXPECT_TRUE(link_.closed);
  EXPECT_TRUE(AllImagesEmpty(ctx_.images));
  EXPECT_EQ(debugWindow_.Text(), "SKAV Server is stopped.\r\n");
}

TEST_F(ServerControlTest, AStringTableThatCannotBeLoadedFreesTheFirmwareAgain) {
  request_.firmwarePath = dir_.File("fw.bin");
  WriteFile(request_.firmwarePath, "firmware bytes");
  request_.stringTablePaths[0] = dir_.File("st1.bin");
  WriteFile(request_.stringTablePaths[0], "table one");
  request_.stringTablePaths[1] = dir_.File("st2-missing.bin");
  ServerControl server(ctx_, FakeLink(link_));
  EXPECT_FALSE(server.Start(request_));
  EXPECT_EQ(errors_.Messages(),
            std::vector<std::string>{"Unable to load the string table file '02' to memory: " +
                                     request_.stringTablePaths[1] +
                                     " (Fail to open the file: No such file or directory)"});
  EXPECT_TRUE(AllImagesEmpty(ctx_.images));
  EXPECT_TRUE(link_.closed);
  EXPECT_FALSE(server.Running());
}

TEST_F(ServerControlTest, StartRunsTheServerThreadUntilStop) {
  request_.firmwarePath = "   ";  // blank: no firmware, no error
  request_.stringTablePaths[0] = dir_.File("st1.bin");
  request_.stringTablePaths[2] = dir_.File("st3.bin");
  WriteFile(request_.stringTablePaths[0], "one");
  WriteFile(request_.stringTablePaths[2], "three");
  request_.regionCode = 7;
  ServerControl server(ctx_, FakeLink(link_));

  ASSERT_TRUE(server.Start(request_)) << Joined();
  EXPECT_TRUE(errors_.Messages().empty()) << Joined();
  EXPECT_TRUE(server.Running());
  // Each image loaded is named with its size and SHA-256 (sha256sum's).
  const std::string started =
      "SKAV Server starts running (region: 7)...\r\n"
      "Loaded string table 01 from '" + request_.stringTablePaths[0] +
      "': 3 bytes, SHA-256 7692c3ad3540bb803c020b3aee66cd8887123234ea0c6e7143c0add73ff431ed\r\n"
      "Loaded string table 03 from '" + request_.stringTablePaths[2] +
      "': 5 bytes, SHA-256 8b5b9db0c13db24256c829aa364aa90c6d2eba318b9232a4ab9313b954d3555f\r\n";
  EXPECT_EQ(debugWindow_.Text().substr(0, started.size()), started);
  EXPECT_FALSE(ctx_.imageFacts[0].loaded);
  EXPECT_FALSE(ctx_.imageFacts[2].loaded);
  EXPECT_EQ(ctx_.imageFacts[3].name, "string table 03");
  EXPECT_EQ(ctx_.imageFacts[3].path, request_.stringTablePaths[2]);
  EXPECT_EQ(ctx_.regionCode, 7);
  EXPECT_EQ(ctx_.images.stMask, 5u);
  EXPECT_FALSE(ctx_.images.Loaded(0));
  EXPECT_EQ(ctx_.link, server.Link());
  // The thread advertises on the link: broadcast, EtherType 0x0912.
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& f : link_.port->Sent()) {
      if (f.size() >= 14 && f[0] == 0xff && f[5] == 0xff && f[12] == 0x09 && f[13] == 0x12)
        return true;
    }
    return false;
  }));

  server.RequestStop();
  EXPECT_FALSE(server.Running());
  EXPECT_TRUE(server.WaitForServerThread(-1));
  server.FinishStop();
  EXPECT_TRUE(link_.closed);
  EXPECT_EQ(ctx_.link, nullptr);
  EXPECT_TRUE(AllImagesEmpty(ctx_.images));
  EXPECT_EQ(ctx_.images.stMask, 0u);
}

TEST_F(ServerControlTest, ASecondStartAfterStopAndDestructionStopTheServer) {
  {
    ServerControl server(ctx_, FakeLink(link_));
    ASSERT_TRUE(server.Start(request_)) << Joined();
    server.Stop();
    EXPECT_TRUE(link_.closed);
    link_.closed = false;
    ASSERT_TRUE(server.Start(request_)) << Joined();
    EXPECT_TRUE(server.Running());
  }  // the destructor runs the stop sequence
  EXPECT_TRUE(link_.closed);
  EXPECT_EQ(ctx_.running.load(), 0);
  EXPECT_EQ(link_.opened.size(), 2u);
}

// A server on the chosen interface keeps it: Start is refused with the
// holder's pid before it opens or addresses anything. A started server
// holds the claim of its interface (by name) until Stop.
TEST_F(ServerControlTest, AnInterfaceAnotherServerClaimsIsRefusedBeforeItIsOpened) {
  L2_IfClaim other;
  ASSERT_EQ(other.Take("dev1"), L2_IfClaim::Result::kClaimed) << other.reason();
  ServerControl server(ctx_, FakeLink(link_));
  EXPECT_FALSE(server.Start(request_));
  EXPECT_EQ(Joined(), "Interface 'veth-b' is already served by skav-server (pid " +
                          std::to_string(getpid()) + ")|");
  EXPECT_TRUE(link_.opened.empty());
  EXPECT_TRUE(link_.addressed.empty());
  EXPECT_EQ(debugWindow_.Text(), "SKAV Server is stopped.\r\n");
  EXPECT_TRUE(other.held());

  other.Release();
  ASSERT_TRUE(server.Start(request_)) << Joined();
  EXPECT_EQ(other.Take("dev1"), L2_IfClaim::Result::kTaken);
  EXPECT_EQ(other.Take("dev0"), L2_IfClaim::Result::kClaimed);
  server.Stop();
  EXPECT_EQ(other.Take("dev1"), L2_IfClaim::Result::kClaimed) << other.reason();
}

TEST_F(ServerControlTest, AClaimFolderThatCannotBeMadeIsAFailedStart) {
  const std::string bad = dir_.File("missing") + "/claims";
  L2_SetClaimDirForTest(bad.c_str());
  ServerControl server(ctx_, FakeLink(link_));
  EXPECT_FALSE(server.Start(request_));
  const std::string all = Joined();
  EXPECT_EQ(all.rfind("Unable to claim the interface 'veth-b': cannot create the claim folder " +
                          bad + ": ",
                      0),
            0u)
      << all;
  EXPECT_TRUE(link_.opened.empty());
  EXPECT_EQ(debugWindow_.Text(), "SKAV Server is stopped.\r\n");
}

struct StartingFront : RunFront {
  std::function<void()> inStart;
  bool StartRun() override { return inStart(), false; }
  void StopRun() override {}
  void Tell(PortNews, const std::string&) override {}
};

// A start's message box runs the event loop inside the tick, which ticks
// again: that tick reads the address events too, or the wait spins.
TEST_F(ServerControlTest, ATickInsideATickReadsTheAddressEvents) {
  SKAV_REQUIRE_NETNS();
  NetnsPair net;
  InNetns in(net.serverNs());
  ASSERT_TRUE(net.ok() && in.ok());
  ServerControl server(ctx_, FakeLink(link_));
  StartingFront front;
  RunSupervisor supervisor(server, front);
  int added = -1;
  front.inStart = [&] {
    added = NetnsPair::Exec(net.serverNs(), "ip addr add 10.9.9.9/8 dev " + net.serverIf());
    supervisor.Tick();
  };
  supervisor.AwaitPort(net.serverIf());
  supervisor.Tick();
  EXPECT_EQ(added, 0);
  pollfd wait{supervisor.WatchFd(), POLLIN, 0};
  EXPECT_EQ(poll(&wait, 1, 0), 0) << "an event is left for the front end's wait";
}

}  // namespace
