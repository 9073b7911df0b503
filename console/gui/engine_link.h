// The window's link to its engine: what the engine tells, as Qt signals on
// the GUI thread, and the waits of a window that must see an answer before
// it goes on (a Start's reply, a stop's end) while it keeps dispatching
// events. The engine never waits for the window: what the window does not
// take in time it coalesces or drops, and sends whole again.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "remote/engine_client.h"

class QSocketNotifier;

/// A connection to an engine, and how to tell that the engine has ended
/// once the connection is closed.
struct EngineConnection {
  std::unique_ptr<remote::EngineClient> client;
  /// Empty: the engine is the child process the client started.
  std::function<bool()> ended;
};

/// Starts the window's own engine (remote::EngineProgram()).
EngineConnection StartOwnEngine(std::string* why);

class EngineLink : public QObject, private remote::EngineEvents {
  Q_OBJECT

 public:
  /// Serves the connection from now on.
  explicit EngineLink(EngineConnection connection, QObject* parent = nullptr);
  ~EngineLink() override;

  /// The verbs. What the socket does not take at once goes out as soon as
  /// it can. After the connection's end they go nowhere.
  remote::EngineClient& Client();
  const remote::EngineClient& Client() const { return *client_; }
  /// The run's state as the engine last told it.
  const remote::StateNews& State() const { return state_; }
  /// True once the connection is over (Ended has been emitted).
  bool Over() const { return over_; }

  /// Waits for the reply to `seq`, dispatching events; false when the
  /// verb was refused or the connection ended first (`reason` says why).
  bool AwaitReply(uint32_t seq, std::string* reason = nullptr);
  /// Waits until `done` holds for the state told, dispatching events;
  /// false when the connection ended first.
  bool AwaitState(const std::function<bool(const remote::StateNews&)>& done);
  /// Ends the connection: an own engine stops its run, every outcome
  /// written, and ends. Waits for it at most `ms` (-1: no limit) while
  /// dispatching events; false when it has not ended by then.
  bool Close(int ms);

 signals:
  void GotText(const remote::TextPiece& piece);
  void GotError(const std::string& text);
  void GotPanel(const remote::PanelNews& news);
  void GotProgress(const remote::ProgressNews& news);
  void GotState(const remote::StateNews& state);
  void GotPortNews(const remote::PortNewsMsg& news);
  void GotUnwritten(const std::string& text);
  void GotImages(const ImageFacts* images);
  /// The connection is over; `reason` in plain words.
  void Ended(const std::string& reason);

 private:
  void Pump();
  void Rearm();
  /// Runs the event loop until `done` holds or the connection is over.
  void Await(const std::function<bool()>& done);

  void OnText(const remote::TextPiece& piece) override { emit GotText(piece); }
  void OnError(const std::string& text) override { emit GotError(text); }
  void OnPanel(const remote::PanelNews& news) override { emit GotPanel(news); }
  void OnProgress(const remote::ProgressNews& news) override { emit GotProgress(news); }
  void OnState(const remote::StateNews& state) override;
  void OnPortNews(const remote::PortNewsMsg& news) override { emit GotPortNews(news); }
  void OnUnwritten(const std::string& text) override { emit GotUnwritten(text); }
  void OnImages(const ImageFacts (&images)[kImageCount]) override { emit GotImages(images); }
  void OnReply(const remote::Reply& reply) override;
  void OnClosed(const std::string& reason) override;

  // Goes after the client, which closes the connection an in-process
  // engine waits for.
  std::function<bool()> ended_;
  std::unique_ptr<remote::EngineClient> client_;
  QSocketNotifier* readable_ = nullptr;
  QSocketNotifier* writable_ = nullptr;
  remote::StateNews state_;
  std::vector<remote::Reply> replies_;  // the latest, for the waits
  std::string endReason_;
  bool pumping_ = false;
  bool over_ = false;
  struct Awaiting;
  Awaiting* awaiting_ = nullptr;  // the innermost wait, ended by what arrives
};
