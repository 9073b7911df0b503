// The engine's socket served from the window's event loop.
#include "console/gui/engine_link.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <utility>

namespace {

// How often a wait sends what was queued and looks at an engine that may
// have ended.
constexpr int kEndPollMs = 10;
// Replies kept for a wait that looks for its own.
constexpr size_t kRepliesKept = 32;

}  // namespace

struct EngineLink::Awaiting {
  explicit Awaiting(const std::function<bool()>& d) : done(d) {}
  const std::function<bool()>& done;
  QEventLoop loop;
};

EngineConnection StartOwnEngine(std::string* why) {
  return {remote::EngineClient::StartOwn(why), {}};
}

EngineLink::EngineLink(EngineConnection connection, QObject* parent)
    : QObject(parent),
      ended_(std::move(connection.ended)),
      client_(std::move(connection.client)) {
  if (!ended_) {
    remote::EngineClient* c = client_.get();
    ended_ = [c] {
      c->WaitForEngine(0);
      return c->enginePid() <= 0;
    };
  }
  readable_ = new QSocketNotifier(client_->fd(), QSocketNotifier::Read, this);
  writable_ = new QSocketNotifier(client_->fd(), QSocketNotifier::Write, this);
  connect(readable_, &QSocketNotifier::activated, this, &EngineLink::Pump);
  connect(writable_, &QSocketNotifier::activated, this, &EngineLink::Pump);
  Rearm();
}

EngineLink::~EngineLink() = default;

remote::EngineClient& EngineLink::Client() {
  // Once the verb is queued: the notifier then waits for room if it needs.
  QMetaObject::invokeMethod(this, &EngineLink::Rearm, Qt::QueuedConnection);
  return *client_;
}

void EngineLink::Pump() {
  // A handler may run an event loop of its own (a message box): what
  // arrives meanwhile waits in the socket until it returns.
  if (!pumping_ && !over_) {
    pumping_ = true;
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    if (client_->Send()) client_->Receive(*this);
    pumping_ = false;
    Rearm();
  }
  // An awaited answer ends the wait as it arrives, not at the next poll.
  if (awaiting_ != nullptr && (awaiting_->done() || over_)) awaiting_->loop.quit();
}

void EngineLink::Rearm() {
  if (over_ || client_->closed()) {
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    return;
  }
  readable_->setEnabled(true);
  writable_->setEnabled(client_->WantsWrite());
}

void EngineLink::OnState(const remote::StateNews& state) {
  state_ = state;
  emit GotState(state);
}

void EngineLink::OnReply(const remote::Reply& reply) {
  if (replies_.size() == kRepliesKept) replies_.erase(replies_.begin());
  replies_.push_back(reply);
}

void EngineLink::OnClosed(const std::string& reason) {
  over_ = true;
  endReason_ = reason;
  emit Ended(reason);
}

void EngineLink::Await(const std::function<bool()>& done) {
  if (done() || over_) return;
  Awaiting waiting(done);
  Awaiting* const outer = std::exchange(awaiting_, &waiting);
  QTimer poll;
  poll.setInterval(kEndPollMs);
  // Verbs queued since the notifier last ran go out at once, and an
  // engine that ended ends the wait.
  connect(&poll, &QTimer::timeout, this, &EngineLink::Pump);
  poll.start();
  waiting.loop.exec();
  awaiting_ = outer;
}

bool EngineLink::AwaitReply(uint32_t seq, std::string* reason) {
  const auto find = [&] {
    for (const remote::Reply& r : replies_)
      if (r.seq == seq) return &r;
    return static_cast<const remote::Reply*>(nullptr);
  };
  Await([&] { return find() != nullptr; });
  const remote::Reply* reply = find();
  if (reason != nullptr) *reason = reply != nullptr ? reply->reason : endReason_;
  return reply != nullptr && reply->done;
}

bool EngineLink::AwaitState(const std::function<bool(const remote::StateNews&)>& done) {
  Await([&] { return done(state_); });
  return done(state_);
}

bool EngineLink::Close(int ms) {
  if (!over_) {
    over_ = true;
    endReason_ = "the window closed the connection";
  }
  Rearm();
  client_->Close();
  QEventLoop loop;
  QTimer poll;
  QTimer limit;
  bool ended = ended_();
  connect(&poll, &QTimer::timeout, &loop, [&] {
    ended = ended_();
    if (ended) loop.quit();
  });
  if (!ended) {
    poll.start(kEndPollMs);
    if (ms >= 0) {
      limit.setSingleShot(true);
      connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
      limit.start(ms);
    }
    loop.exec();
  }
  return ended;
}
