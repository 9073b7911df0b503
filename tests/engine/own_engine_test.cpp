// The engine a window starts for itself, driven through the client as the
// window drives it, in namespaces with a simulated device: the window's
// Start, the device's lines and panel entry as they come, and the window's
// going ending the run as its close did, the device still in mid-exchange
// written as Error before the engine ends.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "integration/e2e_support.h"
#include "remote/engine_client.h"
#include "settings/test_util.h"
#include "support/netns.h"

#if defined(SKAV_ENGINE_BIN) && defined(SKAV_DEVSIM_PATH)

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Window : public remote::EngineEvents {
 public:
  void OnText(const remote::TextPiece& piece) override { text += piece.text; }
  void OnPanel(const remote::PanelNews& news) override { remote::ApplyPanel(panel, news); }
  void OnReply(const remote::Reply& r) override { replies.push_back(r); }
  void OnClosed(const std::string& why) override { closed = why; }
  std::string text, panel, closed;
  std::vector<remote::Reply> replies;
};

// Pumps until `done` holds, at most 30 s.
template <typename Done>
bool PumpUntil(remote::EngineClient& engine, Window& window, Done done) {
  const auto limit = Clock::now() + 30s;
  while (!done()) {
    if (!engine.Pump(window, 50) || Clock::now() > limit) return false;
  }
  return true;
}

TEST(OwnEngine, TheWindowsGoingEndsTheRunWithEveryOutcomeWritten) {
  SKAV_REQUIRE_NETNS();
  NetnsPair net;
  ASSERT_TRUE(net.ok());
  TempDir dir;
  const std::string firmware = dir.File("fw.bin");
  WriteFile(firmware, std::string(4096, 'f'));
  const std::string log = dir.File("outcomes.log");

  std::unique_ptr<remote::EngineClient> engine;
  std::string why;
  {
    // The engine serves the namespace it starts in.
    InNetns in(net.serverNs());
    ASSERT_TRUE(in.ok());
    engine = remote::EngineClient::StartOwn(&why, SKAV_ENGINE_BIN);
  }
  ASSERT_TRUE(engine) << why;
  Window window;
  engine->Want(remote::kWantAll);
  remote::StartOrder order;
  order.interfaceName = net.serverIf();
  order.firmwarePath = firmware;
  order.logEnabled = true;
  order.logPath = log;
  const uint32_t start = engine->Start(order);
  ASSERT_TRUE(PumpUntil(*engine, window, [&] {
    return !window.replies.empty() && window.replies.back().seq == start;
  })) << window.closed << window.text;
  ASSERT_TRUE(window.replies.back().done) << window.replies.back().reason << window.text;

  e2e::Child device(net.deviceNs(),
                    {SKAV_DEVSIM_PATH, "--if", net.deviceIf(), "--timeout", "60", "--base-mac",
                     "02:5a:00:00:09:01", "--silent-after", "conf-ack", "--silent-for", "60000"});
  EXPECT_TRUE(PumpUntil(*engine, window, [&] {
    return window.panel.find("02-5A-00-00-09-01: Reworking") != std::string::npos;
  })) << window.panel;
  EXPECT_NE(window.text.find("New client: 02-5a-00-00-09-01, assigned IP: 10.0.0.2\r\n"),
            std::string::npos)
      << window.text;

  engine->Close();
  EXPECT_EQ(engine->WaitForEngine(30000), 0);
  EXPECT_NE(ReadFile(log).find("02-5A-00-00-09-01: Error   \r\n"), std::string::npos)
      << ReadFile(log);
}

}  // namespace

#endif
