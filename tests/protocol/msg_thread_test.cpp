// Thread messaging: start, delivery order, quit, and the one repeating timer.
#include "protocol/msg_thread.h"
#include "protocol/poll_budget.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/client_harness.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `done` until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = 5000ms) {
  auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<uint8_t> Number(uint32_t n) {
  std::vector<uint8_t> v(4);
  std::memcpy(v.data(), &n, 4);
  return v;
}

uint32_t NumberOf(const uint8_t* data, size_t len) {
  uint32_t n = 0;
  if (len == 4) std::memcpy(&n, data, 4);
  return n;
}

// Records what reaches it; commands run on the thread through `onMessage`.
class RecordingThread : public MsgThread {
 public:
  struct Event {
    uint32_t msg;
    uint32_t number;
  };

  std::function<void(RecordingThread&, uint32_t msg, uint32_t number)> onMessage;
  std::function<void(RecordingThread&)> onTimer;
  bool initResult = true;

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  size_t EventCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_.size();
  }
  bool Handled(uint32_t msg, uint32_t number) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const Event& e : events_)
      if (e.msg == msg && e.number == number) return true;
    return false;
  }

  /// For handlers: ends the loop once the running handler returns.
  void End() { EndLoop(); }

  std::atomic<int> timerCount{0};
  /// What ExpectsMessageSoon answers: true makes the thread poll its queue
  /// before it sleeps.
  std::atomic<bool> expectSoon{false};
  std::atomic<bool> exitRan{false};
  std::atomic<bool> overlap{false};
  std::atomic<size_t> eventsAtExit{0};
  /// What WaitDescriptor answers; each byte read from it is an event of
  /// message kReadable.
  std::atomic<int> waitFd{-1};
  static constexpr uint32_t kReadable = 0xFD;

 protected:
  bool InitInstance() override { return initResult; }
  int ExitInstance() override {
    eventsAtExit = EventCount();
    exitRan = true;
    return 0;
  }
  void OnThreadMessage(uint32_t msg, const uint8_t* data, size_t len) override {
    if (busy_.exchange(true)) overlap = true;
    uint32_t number = NumberOf(data, len);
    if (onMessage) onMessage(*this, msg, number);
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back({msg, number});
    }
    busy_ = false;
  }
  bool ExpectsMessageSoon() const override { return expectSoon.load(); }
  int WaitDescriptor() const override { return waitFd.load(); }
  void OnDescriptorReadable() override {
    uint8_t byte = 0;
    if (read(waitFd.load(), &byte, 1) != 1) return;
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back({kReadable, byte});
  }
  void OnTimerMessage() override {
    if (busy_.exchange(true)) overlap = true;
    ++timerCount;
    if (onTimer) onTimer(*this);
    busy_ = false;
  }

 private:
  std::mutex mu_;
  std::vector<Event> events_;
  std::atomic<bool> busy_{false};
};

void EndThread(RecordingThread& t) {
  t.PostQuit();
  t.WaitForEnd();
}

TEST(MsgThreadDelivery, MessagesArriveOneAtATimeInPostingOrder) {
  RecordingThread t;
  ASSERT_TRUE(t.CreateThread());
  constexpr uint32_t kPerPoster = 2000;
  // Two posters at once: each one's messages keep their order.
  auto poster = [&t](uint32_t msg) {
    for (uint32_t i = 1; i <= kPerPoster; ++i)
      EXPECT_TRUE(t.PostThreadMessage(msg, Number(i)));
  };
  std::thread a(poster, WM_SKAV_MSG);
  std::thread b(poster, WM_IP_PKT);
  a.join();
  b.join();
  ASSERT_TRUE(WaitFor([&] { return t.EventCount() == 2 * kPerPoster; }));
  EndThread(t);

  uint32_t lastSkav = 0, lastIp = 0;
  for (const auto& e : t.Events()) {
    uint32_t& last = e.msg == WM_SKAV_MSG ? lastSkav : lastIp;
    EXPECT_EQ(e.number, last + 1) << "message " << e.msg;
    last = e.number;
  }
  EXPECT_EQ(lastSkav, kPerPoster);
  EXPECT_EQ(lastIp, kPerPoster);
  EXPECT_FALSE(t.overlap);
}

TEST(MsgThreadDelivery, MessagePostedRightAfterStartIsHandled) {
  // The start must not return before the queue exists; repeat to give a
  // late queue every chance to lose the first message.
  for (int round = 0; round < 100; ++round) {
    RecordingThread t;
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(7)));
    ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, 7); }))
        << "round " << round;
    EndThread(t);
  }
}

TEST(MsgThreadDelivery, PayloadIsTheThreadsOwnCopy) {
  RecordingThread t;
  std::vector<uint8_t> seen;
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  t.onMessage = [&](RecordingThread&, uint32_t, uint32_t number) {
    if (number == 1) opened.wait_for(5s);
  };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(1)));
  {
    // The sender's buffer is overwritten and released before the thread
    // gets to the message.
    std::vector<uint8_t> buffer = Number(0x11223344);
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, buffer));
    std::fill(buffer.begin(), buffer.end(), 0);
  }
  gate.set_value();
  ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, 0x11223344); }));
  EndThread(t);
}

TEST(MsgThreadQuit, QuitEndsTheLoopAfterTheMessagesBeforeIt) {
  RecordingThread t;
  std::promise<void> started, gate;
  std::shared_future<void> opened = gate.get_future().share();
  t.onMessage = [&](RecordingThread&, uint32_t, uint32_t number) {
    if (number == 1) {
      started.set_value();
      opened.wait_for(5s);
    }
  };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(1)));
  started.get_future().wait();
  // Everything below is queued while the thread is held in message 1.
  for (uint32_t i = 2; i <= 6; ++i)
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(i)));
  t.PostQuit();
  t.PostThreadMessage(WM_SKAV_MSG, Number(99));  // behind the quit
  gate.set_value();
  t.WaitForEnd();

  ASSERT_TRUE(t.exitRan);
  auto events = t.Events();
  ASSERT_EQ(events.size(), 6u);
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(events[i].number, i + 1);
  EXPECT_EQ(t.eventsAtExit, 6u) << "ExitInstance ran before the queue drained";
  EXPECT_FALSE(t.PostThreadMessage(WM_SKAV_MSG, Number(100)))
      << "posting to an ended thread must be refused";
  t.PostQuit();      // harmless on an ended thread
  t.WaitForEnd();    // returns at once
}

TEST(MsgThreadQuit, FailedInitEndsTheThreadAndRefusesMessages) {
  RecordingThread t;
  t.initResult = false;
  EXPECT_FALSE(t.CreateThread());
  t.WaitForEnd();
  EXPECT_TRUE(t.exitRan);
  EXPECT_FALSE(t.PostThreadMessage(WM_SKAV_MSG, Number(1)));
}

TEST(MsgThreadQuit, ThreadNeverStartedRefusesPostsAndNeedsNoWait) {
  RecordingThread t;
  EXPECT_FALSE(t.PostThreadMessage(WM_SKAV_MSG, Number(1)));
  t.PostQuit();
  t.WaitForEnd();
  EXPECT_FALSE(t.exitRan);
}

// Timer commands, run on the thread as message numbers.
constexpr uint32_t kSetTimer = 1, kKillTimer = 2, kMarker = 3;

TEST(MsgThreadTimer, RepeatsUntilStoppedThenNeverAgain) {
  RecordingThread t;
  std::atomic<uint32_t> id{0};
  t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
    if (number == kSetTimer) id = self.SetTimer(20);
    if (number == kKillTimer) self.KillTimer(id);
  };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  ASSERT_TRUE(WaitFor([&] { return t.timerCount >= 3; }))
      << "a timer must repeat until it is stopped";
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kKillTimer)));
  ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, kKillTimer); }));
  int afterKill = t.timerCount;
  // Several periods with nothing due: no expiry may slip through.
  std::this_thread::sleep_for(120ms);
  EXPECT_EQ(t.timerCount, afterKill);
  EXPECT_FALSE(t.overlap) << "a timer expiry ran inside a message handler";
  EndThread(t);
}

TEST(MsgThreadTimer, EveryStartGivesAFreshNonZeroId) {
  RecordingThread t;
  std::vector<uint32_t> ids;
  t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
    if (number != kSetTimer) return;
    for (int i = 0; i < 5; ++i) {
      uint32_t id = self.SetTimer(60000);
      ids.push_back(id);
      self.KillTimer(id);
    }
  };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, kSetTimer); }));
  EndThread(t);
  ASSERT_EQ(ids.size(), 5u);
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_NE(ids[i], 0u);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(ids[i], ids[j]);
  }
}

TEST(MsgThreadTimer, StoppedTimerThatHadAlreadyExpiredDeliversNothing) {
  // The timer expires while the thread is busy, so its expiry is already
  // waiting in the queue behind the message that stops it.
  for (int round = 0; round < 5; ++round) {
    RecordingThread t;
    std::atomic<uint32_t> id{0};
    std::promise<void> started, gate;
    std::shared_future<void> opened = gate.get_future().share();
    t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
      if (number == kSetTimer) {
        id = self.SetTimer(1);
        started.set_value();
        opened.wait_for(5s);
        std::this_thread::sleep_for(15ms);  // well past the 1 ms
      }
      if (number == kKillTimer) self.KillTimer(id);
    };
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
    started.get_future().wait();
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kKillTimer)));
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kMarker)));
    gate.set_value();
    ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, kMarker); }));
    // Anything the expiry queued meanwhile sits before this second marker.
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kMarker + 1)));
    ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, kMarker + 1); }));
    EXPECT_EQ(t.timerCount, 0) << "round " << round;
    EndThread(t);
  }
}

TEST(MsgThreadTimer, ReplacedTimerDeliversOnlyForTheNewOne) {
  RecordingThread t;
  std::atomic<uint32_t> first{0}, second{0};
  std::promise<void> started, gate;
  std::shared_future<void> opened = gate.get_future().share();
  t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
    if (number == kSetTimer) {
      first = self.SetTimer(1);
      started.set_value();
      opened.wait_for(5s);
      std::this_thread::sleep_for(15ms);
    }
    if (number == kKillTimer) {
      // Stop-then-start, as a client does before every new timer.
      self.KillTimer(first);
      second = self.SetTimer(60000);
    }
  };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  started.get_future().wait();
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kKillTimer)));
  gate.set_value();
  ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, kKillTimer); }));
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kMarker)));
  ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, kMarker); }));
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(t.timerCount, 0) << "the 60 s timer cannot have expired yet";
  EndThread(t);
}

TEST(MsgThreadTimer, TimerExpiriesShareTheQueueWithMessages) {
  // While the thread is held in a message, an expiry waits; it is handled
  // only after that message, never inside it.
  RecordingThread t;
  std::promise<void> started, gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> timerCountInside{-1};
  std::atomic<uint32_t> id{0};
  t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
    if (number == kSetTimer) {
      id = self.SetTimer(1);
      started.set_value();
      opened.wait_for(5s);
      std::this_thread::sleep_for(15ms);
      timerCountInside = self.timerCount.load();
    }
  };
  t.onTimer = [&](RecordingThread& self) { self.KillTimer(id); };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  started.get_future().wait();
  gate.set_value();
  ASSERT_TRUE(WaitFor([&] { return t.timerCount >= 1; }));
  EXPECT_EQ(timerCountInside, 0);
  EXPECT_FALSE(t.overlap);
  EndThread(t);
}


using harness::OpenFds;

TEST(MsgThreadEnd, EndLoopEndsTheThreadAfterItsHandlerAndDropsTheRest) {
  RecordingThread t;
  std::promise<void> started, gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<uint32_t> id{0};
  t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
    if (number == 1) {
      id = self.SetTimer(1);  // expires while the thread is held here
      started.set_value();
      opened.wait_for(5s);
      std::this_thread::sleep_for(15ms);
      self.End();
    }
  };
  ASSERT_TRUE(t.CreateThread());
  EXPECT_FALSE(t.Ended());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(1)));
  started.get_future().wait();
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(2)));  // queued behind
  gate.set_value();
  ASSERT_TRUE(WaitFor([&] { return t.Ended(); }));
  EXPECT_TRUE(t.exitRan);
  EXPECT_EQ(t.eventsAtExit, 1u) << "a message queued behind the end was handled";
  EXPECT_EQ(t.timerCount, 0) << "the timer outlived the loop";
  EXPECT_FALSE(t.PostThreadMessage(WM_SKAV_MSG, Number(3)))
      << "an ended thread must refuse messages";
  t.PostQuit();    // harmless
  t.WaitForEnd();  // joins at once
  EXPECT_TRUE(t.Ended());
  EXPECT_FALSE(t.PostThreadMessage(WM_SKAV_MSG, Number(4)));
  EXPECT_EQ(t.Events().size(), 1u);
}

TEST(MsgThreadEnd, RunningThreadsWithTimersHoldNoDescriptor) {
  // Many clients at once under a limit of 1024 descriptors: the queue and
  // the timer must not take any.
  const int before = OpenFds();
  std::vector<std::unique_ptr<RecordingThread>> threads;
  for (int i = 0; i < 20; ++i) {
    threads.push_back(std::make_unique<RecordingThread>());
    threads.back()->onMessage = [](RecordingThread& self, uint32_t, uint32_t number) {
      if (number == kSetTimer) self.SetTimer(60000);
    };
    ASSERT_TRUE(threads.back()->CreateThread());
    ASSERT_TRUE(threads.back()->PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  }
  for (auto& t : threads)
    ASSERT_TRUE(WaitFor([&] { return t->Handled(WM_SKAV_MSG, kSetTimer); }));
  EXPECT_EQ(OpenFds(), before);
  for (auto& t : threads) EndThread(*t);
}

TEST(MsgThreadTimer, AStreamOfMessagesDoesNotHoldTheTimerBack) {
  // Messages keep coming faster than they are handled, so the queue never
  // runs empty; an expiry still takes its turn among them instead of
  // waiting for a quiet moment.
  RecordingThread t;
  std::atomic<uint32_t> handled{0};
  std::atomic<int> handledAtFirstTimer{-1};
  t.onMessage = [&](RecordingThread& self, uint32_t, uint32_t number) {
    if (number == kSetTimer) self.SetTimer(20);
    std::this_thread::sleep_for(2ms);
    ++handled;
  };
  t.onTimer = [&](RecordingThread&) {
    int expected = -1;
    handledAtFirstTimer.compare_exchange_strong(expected, static_cast<int>(handled.load()));
  };
  ASSERT_TRUE(t.CreateThread());
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  constexpr uint32_t kStream = 300;
  for (uint32_t i = 0; i < kStream; ++i) {
    std::this_thread::sleep_for(200us);
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kMarker)));
  }
  ASSERT_TRUE(WaitFor([&] { return handled.load() == kStream + 1; }, 10000ms));
  EXPECT_GE(handledAtFirstTimer.load(), 0) << "the timer never delivered";
  EXPECT_LT(handledAtFirstTimer.load(), static_cast<int>(kStream))
      << "the timer waited for the queue to run empty";
  EXPECT_FALSE(t.overlap);
  EndThread(t);
}

// Spins (yielding) until `done` holds: quick enough to post again while a
// thread that polls before sleeping is still polling. False after `limit`.
bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(MsgThreadPolling, ThreadsThatPollBeforeSleepingMissNoMessageNorTimerNorQuit) {
  // Three threads that expect messages soon, more than the cores that may
  // poll at once (one fewer than are online): some poll, the others sleep.
  // The first thread's timer expires while it polls or sleeps; the others
  // have none, so nothing but the post itself may end their wait.
  constexpr int kThreads = 3;
  constexpr uint32_t kLockStep = 300, kPerThread = 900;
  // The test machine is often busy; poll anyway.
  MsgThreadPollOnBusyMachineForTest(true);
  struct Restore {
    ~Restore() { MsgThreadPollOnBusyMachineForTest(false); }
  } restore;
  RecordingThread t[kThreads];
  for (RecordingThread& r : t) {
    r.expectSoon = true;
    r.onMessage = [](RecordingThread& self, uint32_t, uint32_t number) {
      if (number == kSetTimer) self.SetTimer(1);
    };
    ASSERT_TRUE(r.CreateThread());
    ASSERT_TRUE(r.PostThreadMessage(WM_SKAV_MSG, Number(&r == t ? kSetTimer : kMarker)));
  }
  // One thread at a time, each message posted as soon as the one before
  // has been handled, so mostly while the thread still polls: a post seen
  // during the poll must end the poll and be handled, not be left for a
  // wake-up that was never sent.
  uint32_t i = 1;
  for (; i <= kLockStep; ++i) {
    for (RecordingThread& r : t) {
      // Long enough for the handler to return and the poll to begin, well
      // short of the poll's end (tens of microseconds).
      const auto pollBegun = Clock::now() + 10us;
      while (Clock::now() < pollBegun) {
      }
      ASSERT_TRUE(r.PostThreadMessage(WM_IP_PKT, Number(i)));
      ASSERT_TRUE(SpinUntil([&] { return r.EventCount() == i + 1; }, 2000ms)) << "message " << i;
    }
  }
  // Bursts, and pauses longer than a poll.
  for (; i <= kPerThread; ++i) {
    for (RecordingThread& r : t) ASSERT_TRUE(r.PostThreadMessage(WM_IP_PKT, Number(i)));
    if (i % 3 == 1) std::this_thread::sleep_for(20us);
    if (i % 50 == 0) std::this_thread::sleep_for(2ms);
  }
  for (RecordingThread& r : t) {
    ASSERT_TRUE(WaitFor([&] { return r.EventCount() == kPerThread + 1; }));
    if (&r == t) {
      ASSERT_TRUE(WaitFor([&] { return r.timerCount.load() >= 5; }));
    }
    uint32_t last = 0;
    for (const auto& e : r.Events()) {
      if (e.msg != WM_IP_PKT) continue;
      EXPECT_EQ(e.number, last + 1);
      last = e.number;
    }
    EXPECT_EQ(last, kPerThread);
    EXPECT_FALSE(r.overlap);
  }
  // Idle, each polls once more and sleeps; a quit still ends it.
  std::this_thread::sleep_for(5ms);
  for (RecordingThread& r : t) r.PostQuit();
  for (RecordingThread& r : t) ASSERT_TRUE(WaitFor([&] { return r.Ended(); }));
  for (RecordingThread& r : t) r.WaitForEnd();
}

// A thread asleep on its descriptor without a timer wakes for nothing but
// the descriptor and a post: a post that did not wake it would wait for
// ever, and so would a Stop.
TEST(MsgThreadDescriptor, ItsDataPostsTimerAndQuitEachWakeAThreadAsleepOnIt) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
  struct Close {
    int* fds;
    ~Close() { close(fds[0]), close(fds[1]); }
  } closer{pair};
  RecordingThread t;
  t.waitFd = pair[0];
  t.onMessage = [](RecordingThread& self, uint32_t, uint32_t number) {
    if (number == kSetTimer) self.SetTimer(5);
  };
  ASSERT_TRUE(t.CreateThread());
  for (uint8_t b = 1; b <= 3; ++b) {
    ASSERT_EQ(write(pair[1], &b, 1), 1);
    std::this_thread::sleep_for(10ms);  // asleep in between
    ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(100 + b)));
    ASSERT_TRUE(WaitFor([&] { return t.Handled(WM_SKAV_MSG, 100 + b); }, 2000ms));
    EXPECT_TRUE(t.Handled(RecordingThread::kReadable, b));
  }
  ASSERT_TRUE(t.PostThreadMessage(WM_SKAV_MSG, Number(kSetTimer)));
  ASSERT_TRUE(WaitFor([&] { return t.timerCount.load() >= 3; }, 2000ms));

  // Polling before sleeping sees the descriptor too.
  MsgThreadPollOnBusyMachineForTest(true);
  struct Restore {
    ~Restore() { MsgThreadPollOnBusyMachineForTest(false); }
  } restore;
  t.expectSoon = true;
  for (uint8_t b = 4; b < 200; ++b) {
    ASSERT_EQ(write(pair[1], &b, 1), 1);
    ASSERT_TRUE(SpinUntil([&] { return t.Handled(RecordingThread::kReadable, b); }, 2000ms))
        << "byte " << int(b);
  }
  t.expectSoon = false;
  std::this_thread::sleep_for(10ms);
  t.PostQuit();
  ASSERT_TRUE(WaitFor([&] { return t.Ended(); }, 2000ms));
  t.WaitForEnd();
  EXPECT_FALSE(t.overlap);
}

}  // namespace
