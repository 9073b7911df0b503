// The engine's end of the front-end protocol, with a test playing the front
// end on the other end of a socket: a front end that never reads holds no
// writer up and later learns what it missed, with the panel sent whole
// again; a front end of another version, or a user outside the group, is
// refused in words before the connection closes.
#include "engine/front_hub.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/if_claim.h"
#include "remote/bench_socket.h"
#include "remote/engine_client.h"
#include "remote/frame.h"
#include "settings/test_util.h"
#include "support/test_user.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// The front end's side of a socket, read by hand.
class RawFrontEnd {
 public:
  explicit RawFrontEnd(int fd) : fd_(fd) {}
  ~RawFrontEnd() { close(fd_); }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  /// The next message, waiting at most 10 s; false without one.
  bool Next(remote::EngineMessage* m) {
    const auto limit = Clock::now() + 10s;
    for (;;) {
      remote::Message msg;
      const remote::FrameReader::Result r = in_.Next(&msg);
      if (r == remote::FrameReader::Result::kMessage) {
        EXPECT_TRUE(remote::DecodeEngine(msg.type, msg.payload, m)) << int(msg.type);
        return true;
      }
      if (r == remote::FrameReader::Result::kBad || Clock::now() > limit) return false;
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 100);
      char buf[64 * 1024];
      const ssize_t n = recv(fd_, buf, std::min(sizeof buf, in_.Room()), MSG_DONTWAIT);
      ended_ = n == 0;
      if (ended_) return false;
      if (n > 0) in_.Feed(buf, static_cast<size_t>(n));
    }
  }
  /// The engine closed the connection.
  bool Ended() const { return ended_; }

 private:
  bool ended_ = false;
  int fd_;
  remote::FrameReader in_{remote::kEngineMessageMax};
};

// An own engine's hub on one end of a socket pair; the front end's end.
struct OwnHub {
  PanelState panel;
  ProgressBoard board;
  LogSlot slot{nullptr};
  FrontHub hub{remote::EngineMode::kOwn};
  int frontEnd = -1;

  OwnHub() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    hub.Watch(&panel, &board, &slot);
    hub.Adopt(pair[0]);
    hub.Start();
    frontEnd = pair[1];
  }
};

// hello (version 1), want text and panel (sequence number 1)
const std::string kHelloWantTextAndPanel =
    Bytes({0, 0, 0, 3, 0x01, 0x00, 0x01, 0, 0, 0, 6, 0x02, 0, 0, 0, 1, 0x03});

TEST(FrontHub, AStalledFrontEndHoldsNoWriterUpAndLearnsWhatItMissed) {
  OwnHub own;
  ASSERT_GE(own.frontEnd, 0);
  RawFrontEnd front(own.frontEnd);
  front.Write(kHelloWantTextAndPanel);
  const auto limit = Clock::now() + 10s;
  while (!own.hub.WantsText() && Clock::now() < limit) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(own.hub.WantsText());
  ASSERT_EQ(LogControl(&own.slot), &own.hub) << "the run's Debug Window slot is not served";
  // The panel as it stands first: what is dropped later is then a resend.
  remote::EngineMessage m;
  std::string panel;
  do {
    ASSERT_TRUE(front.Next(&m));
  } while (m.type != remote::EngineType::kPanel);
  remote::ApplyPanel(panel, m.panel);

  // Workers write far more than the socket and the queue hold together,
  // while the server thread edits the panel; nobody reads. Should a
  // writer wait for the reader, these joins never return.
  const std::string line(99, 'x');
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) own.hub.Append((line + "\n").c_str(), line.size() + 1);
    });
  }
  std::string text;
  std::thread server([&] {
    for (int i = 0; i < 20000; ++i) {
      const std::string entry = "entry " + std::to_string(i) + ";";
      own.hub.OnEdit(static_cast<int>(text.size()), 0, entry);
      text += entry;
    }
  });
  for (std::thread& t : workers) t.join();
  server.join();
  // More text than the front end's queue holds, then edits in place, each
  // its own: they cannot all be queued, and the panel must come whole again.
  for (int i = 0; i < 20000; ++i) own.hub.Append((line + "\n").c_str(), line.size() + 1);
  for (size_t at = text.find("entry"); at != std::string::npos; at = text.find("entry", at)) {
    own.hub.OnEdit(static_cast<int>(at), 5, "ENTRY");
    text.replace(at, 5, "ENTRY");
  }
  own.hub.OnEdit(0, 0, "last;");
  text = "last;" + text;

  // Now it reads: the lines it got and the ones it missed make up all
  // that was written, and its panel ends as the engine's.
  uint64_t texts = 0;
  remote::Missed missed;
  while (front.Next(&m)) {
    if (m.type == remote::EngineType::kText) texts += m.pieces.size();
    if (m.type == remote::EngineType::kMissed) missed = m.missed;
    if (m.type == remote::EngineType::kPanel) remote::ApplyPanel(panel, m.panel);
    if (panel == text && texts + missed.texts == 100000 && missed.panelResends > 0) break;
  }
  EXPECT_GT(missed.texts, 0u);
  EXPECT_EQ(texts + missed.texts, 100000u);
  EXPECT_GE(missed.panelResends, 1u);
  EXPECT_EQ(panel, text);
}

TEST(FrontHub, AFrontEndOfAnotherVersionIsRefusedInWords) {
  OwnHub own;
  ASSERT_GE(own.frontEnd, 0);
  RawFrontEnd front(own.frontEnd);
  front.Write(Bytes({0, 0, 0, 3, 0x01, 0x00, 0x02}));
  remote::EngineMessage m;
  ASSERT_TRUE(front.Next(&m));
  ASSERT_EQ(m.type, remote::EngineType::kRefused);
  EXPECT_NE(m.text.find("speaks version 1 of the front-end protocol and the front end version 2"),
            std::string::npos)
      << m.text;
  EXPECT_FALSE(front.Next(&m));
  EXPECT_TRUE(front.Ended()) << "the connection stays open";
}

// What a front end learns before its connection ends.
class Closing : public remote::EngineEvents {
 public:
  void OnHello(const remote::EngineHello&) override { hello = true; }
  void OnClosed(const std::string& why) override { reason = why; }
  bool hello = false;
  std::string reason;
};

TEST(FrontHub, AUserOutsideTheGroupIsRefusedWithTheReason) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: makes a user outside the group 'skav'";
  TestUser user;
  if (!user.ok()) GTEST_SKIP() << "useradd could not make a test user";
  TempDir dir;
  // Open to all, as a folder set up wrongly would be: the engine alone
  // stands between the user and the bench.
  chmod(dir.path().c_str(), 0755);
  L2_SetClaimDirForTest(dir.path().c_str());
  std::string path, why;
  {
    PanelState panel;
    ProgressBoard board;
    FrontHub hub(remote::EngineMode::kService);
    hub.Watch(&panel, &board);
    ASSERT_TRUE(hub.Listen("veth7", &why)) << why;
    hub.Start();
    ASSERT_TRUE(remote::BenchSocketPath("veth7", &path, &why)) << why;
    chmod(path.c_str(), 0666);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
      close(pipeFds[0]);
      if (setgroups(0, nullptr) != 0 || setgid(user.gid()) != 0 || setuid(user.uid()) != 0)
        _exit(3);
      Closing events;
      std::string no;
      auto client = remote::EngineClient::AttachPath(path, &no);
      if (client) {
        const auto limit = Clock::now() + 10s;
        while (!events.hello && client->Pump(events, 100) && Clock::now() < limit) {
        }
        no = (events.hello ? "hello; " : "") + events.reason;
      }
      [[maybe_unused]] const ssize_t n = write(pipeFds[1], no.data(), no.size());
      _exit(0);
    }
    close(pipeFds[1]);
    std::string said;
    char buf[1024];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_NE(said.find("user " + user.name() + " (uid " + std::to_string(user.uid()) +
                        ") is not a member of the group 'skav'"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("hello"), std::string::npos) << said;

    // Root is let in.
    Closing events;
    auto client = remote::EngineClient::AttachPath(path, &why);
    ASSERT_TRUE(client) << why;
    const auto limit = Clock::now() + 10s;
    while (!events.hello && client->Pump(events, 100) && Clock::now() < limit) {
    }
    EXPECT_TRUE(events.hello) << events.reason;
  }
  L2_SetClaimDirForTest(nullptr);
  struct stat st;
  EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket outlived its engine";
}

}  // namespace
