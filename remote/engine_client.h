// The front end's end of the engine's socket protocol, for any front end
// (the window, skav-server ctl): attach to a bench service, or start an
// engine of one's own; send the verbs; take what the engine tells, one
// call of EngineEvents per message. It knows no toolkit and runs no
// thread: the caller waits for fd() in its own loop (a socket notifier,
// poll) and calls Receive() and Send() when it is ready.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "remote/frame.h"
#include "remote/messages.h"

namespace remote {

/// What the engine tells, one call per message, on the thread that calls
/// Receive. Each call has a default that ignores it.
class EngineEvents {
 public:
  virtual ~EngineEvents() = default;
  /// First, once: the engine's version (the same as ours), pid and mode.
  virtual void OnHello(const EngineHello&) {}
  /// A Debug Window text (one DebugPrint) with its note.
  virtual void OnText(const TextPiece&) {}
  /// What ErrorBox would show; the engine does not wait for it.
  virtual void OnError(const std::string&) {}
  /// Panel edits; ApplyPanel keeps a copy of the text.
  virtual void OnPanel(const PanelNews&) {}
  virtual void OnProgress(const ProgressNews&) {}
  /// The run's state and the panel's counts, whenever they change.
  virtual void OnState(const StateNews&) {}
  virtual void OnPortNews(const PortNewsMsg&) {}
  /// Outcome lines a stop could not write to their files, in full.
  virtual void OnUnwritten(const std::string&) {}
  /// The images of the run that started (and on attach, of the run going).
  virtual void OnImages(const ImageFacts (&)[kImageCount]) {}
  /// What this front end missed so far, when it could not keep up.
  virtual void OnMissed(const Missed&) {}
  virtual void OnReply(const Reply&) {}
  /// The connection is over: the engine refused us, went away or broke the
  /// protocol; `reason` says which in plain words. No call follows.
  virtual void OnClosed(const std::string& reason) { (void)reason; }
};

class EngineClient {
 public:
  /// Attaches to the bench service of interface `ifname` on this PC (in
  /// this network namespace). nullptr with the reason when nothing
  /// listens there; a refusal arrives as OnClosed.
  static std::unique_ptr<EngineClient> AttachBench(const std::string& ifname,
                                                   std::string* why);
  /// The same for the socket at `path`.
  static std::unique_ptr<EngineClient> AttachPath(const std::string& path, std::string* why);
  /// Starts an engine of one's own (EngineProgram(), or `program`) over a
  /// socket pair. It serves this front end alone and, once the socket
  /// closes, stops its run as the window's close does and ends.
  static std::unique_ptr<EngineClient> StartOwn(std::string* why,
                                                const std::string& program = {});
  /// Speaks to an engine on the connected socket `fd`, which it owns from
  /// now on (tests: an engine in the same process).
  static std::unique_ptr<EngineClient> Adopt(int fd);
  /// Closes (see Close); does not wait for an own engine.
  ~EngineClient();
  EngineClient(const EngineClient&) = delete;
  EngineClient& operator=(const EngineClient&) = delete;

  /// Wait for it to be readable, and writable while WantsWrite().
  int fd() const { return fd_; }
  bool WantsWrite() const { return head_ < out_.size(); }
  /// Takes what the socket holds now and hands each message to `events`.
  /// False once the connection is over (OnClosed has been called).
  bool Receive(EngineEvents& events);
  /// Writes what is queued, as far as the socket takes it now. False once
  /// the connection is over.
  bool Send();
  /// For a terminal: waits up to `ms` for the socket, then Send and
  /// Receive. False once the connection is over.
  bool Pump(EngineEvents& events, int ms);
  bool closed() const { return fd_ < 0; }
  /// Bytes read from the engine so far.
  uint64_t received() const { return received_; }

  // The verbs. Each is queued (and sent as far as the socket takes it at
  // once) and returns its sequence number, which its Reply carries.

  /// Which news to take (WantFlag bits); nothing but state and replies
  /// until asked. A flag newly set brings the panel or the rows whole.
  uint32_t Want(uint8_t flags);
  /// An own engine: Start with what the window holds.
  uint32_t Start(const StartOrder& order);
  /// A bench service: start from its settings; the supervisor password.
  uint32_t StartStored(const std::string& password);
  /// Stops the run; a bench service asks for the supervisor password.
  uint32_t Stop(const std::string& password = {});
  uint32_t Clear();
  /// 1021 MAC(up), 1020 MAC(down), 1022 Status.
  uint32_t Sort(uint16_t key);
  uint32_t RetryFailed();
  /// An own engine: the "Enable Log:" box and the log path (opened anew,
  /// replacing the open file, when enabled).
  uint32_t LogFile(bool enabled, const std::string& path);
  /// 1 supervisor login, 2 logout, into the engine's log file.
  uint32_t Banner(uint8_t kind);
  /// An own engine: a line of what the operator did or was told, into the
  /// log file with its time stamp: line ends and other control bytes go
  /// as blanks, and a line longer than 511 bytes is cut there.
  uint32_t LogNote(const std::string& line);
  /// An own engine: the device record's path (at once while running).
  uint32_t RecordFile(const std::string& path);
  /// A bench service: what SIGHUP does; the supervisor password.
  uint32_t Reload(const std::string& password);

  /// Closes the socket. An own engine then stops its run, every outcome
  /// written, and ends.
  void Close();
  /// An own engine's pid; 0 for a bench.
  pid_t enginePid() const { return child_; }
  /// An own engine: waits up to `ms` (-1: no limit) for it to end after
  /// Close. Its exit status, or -1 while it runs.
  int WaitForEngine(int ms);

 private:
  explicit EngineClient(int fd);
  uint32_t Queue(FrontMessage m);
  bool Fail(EngineEvents& events, const std::string& reason);
  bool Dispatch(EngineEvents& events, const Message& m);

  int fd_;
  pid_t child_ = 0;
  std::string out_;
  size_t head_ = 0;
  FrameReader in_{kEngineMessageMax};
  uint64_t received_ = 0;
  bool helloSeen_ = false;
  uint32_t seq_ = 0;
  EngineMessage message_;  // reused: its vectors keep their room
};

/// Applies `news` to a copy of the panel text, edits clamped to the text.
void ApplyPanel(std::string& text, const PanelNews& news);

}  // namespace remote
