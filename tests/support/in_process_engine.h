// A window's own engine inside the test's process: the run (OwnRun and its
// FrontHub) on a thread of its own, across a socket pair, with the test's
// interface list and link. The window speaks to it as to its child.
//
// The error sink is the process's: while the engine lives, a box raised on
// any thread but the one that made the engine (the run's, the server's,
// the clients') goes to the engine's front end, as it does in the engine's
// own process; the test's thread keeps the sink it had.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/front_hub.h"
#include "engine/own_run.h"
#include "remote/engine_client.h"
#include "report/debug_print.h"

class InProcessEngine : public ErrorSink {
 public:
  explicit InProcessEngine(OwnRunOptions options) : owner_(std::this_thread::get_id()) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    client_ = remote::EngineClient::Adopt(pair[0]);
    before_ = SetErrorSink(this);
    thread_ = std::thread([this, fd = pair[1], options = std::move(options)]() mutable {
      {
        FrontHub hub(remote::EngineMode::kOwn);
        OwnRun run(hub, std::move(options));
        hub.Adopt(fd);
        Route(&hub);
        hub.Start();
        run.Serve(-1);
        Route(nullptr);
      }
      ended_.store(true);
    });
  }
  /// Waits for the run to end: the connection must be closed by then.
  ~InProcessEngine() override {
    client_.reset();
    if (thread_.joinable()) thread_.join();
    SetErrorSink(before_);
  }
  InProcessEngine(const InProcessEngine&) = delete;
  InProcessEngine& operator=(const InProcessEngine&) = delete;

  /// The front end's end, once.
  std::unique_ptr<remote::EngineClient> TakeClient() { return std::move(client_); }
  /// True once the run has ended and the hub has said its last.
  bool Ended() const { return ended_.load(); }

  void Show(const char* text) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (hub_ != nullptr && std::this_thread::get_id() != owner_) return hub_->Show(text);
    }
    if (before_ != nullptr) before_->Show(text);
  }

 private:
  void Route(FrontHub* hub) {
    std::lock_guard<std::mutex> lock(mu_);
    hub_ = hub;
  }

  const std::thread::id owner_;
  std::unique_ptr<remote::EngineClient> client_;
  ErrorSink* before_ = nullptr;
  std::mutex mu_;
  FrontHub* hub_ = nullptr;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};
