// The engine's end of the front-end protocol: everything a run tells its
// operators (Debug Window text, error messages, the Device Status panel,
// Transfer Progress rows, the run's state and news) handed to every
// attached front end, and the verbs they send handed to the run.
//
// Nothing here ever waits for a front end. Workers, the server thread and
// client threads only append to a batch under a short lock; the hub's own
// thread cuts the batches into messages every tick (text and panel edits
// at most every 50 ms, progress at most 4 times a second) and writes them
// into each connection's bounded queue, from which a non-blocking socket
// takes what it can. What does not fit is dropped and counted for that
// front end, and the panel and the progress rows are sent whole again
// once there is room.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/bench_listener.h"
#include "engine/front_connection.h"
#include "engine/progress_feed.h"
#include "engine/request_queue.h"
#include "remote/messages.h"
#include "report/debug_print.h"
#include "report/image_facts.h"
#include "report/progress_board.h"
#include "report/status_panel.h"

class FrontHub : public LogSink, public StatusEditListener, public ErrorSink {
 public:
  /// How often text and panel edits go out.
  static constexpr int kTickMs = 50;
  /// How often the progress rows are read.
  static constexpr int kProgressMs = 250;
  /// Front ends a bench takes at once.
  static constexpr size_t kMaxConnections = 32;
  /// Verbs of one front end waiting for the run at once.
  static constexpr int kMaxPendingRequests = 16;

  explicit FrontHub(remote::EngineMode mode);
  /// Stops the thread after a last try to send what is queued, then closes
  /// every connection.
  ~FrontHub() override;
  FrontHub(const FrontHub&) = delete;
  FrontHub& operator=(const FrontHub&) = delete;

  /// The run's panel words and progress rows. `textSlot`, when given, is
  /// the run's Debug Window slot: the hub puts itself there while a front
  /// end wants text and empties it otherwise (an own engine formats no
  /// line nobody reads). At any time: a run that goes watches nothing
  /// (nullptr), after which the hub's thread no longer touches its objects.
  void Watch(const PanelState* panel, ProgressBoard* progress, LogSlot* textSlot = nullptr);

  // --- set up, before Start ----------------------------------------------

  /// Serves a front end on a connected socket (an own engine's window).
  void Adopt(int fd);
  /// Listens on the bench socket of interface `port`. False with why.
  bool Listen(const std::string& port, std::string* why);
  /// A Debug Window line each front end gets when it turns text on (the
  /// window showed such a note at the top of each new Debug Window).
  void Greet(const std::string& line) { greeting_ = line; }
  /// Starts the hub's thread.
  void Start();

  // --- any thread, never waiting for a front end --------------------------

  /// Debug Window text.
  void Append(const char* text, size_t len) override;
  void AppendNoted(const char* text, size_t len, LineNote note) override;
  /// A panel edit (the server thread).
  void OnEdit(int pos, int count, const std::string& text) override;
  /// An error message, as a box would show it; never waits.
  void Show(const char* text) override;
  /// True while some front end wants Debug Window text.
  bool WantsText() const { return wantsText_.load(std::memory_order_relaxed); }

  // --- the run's thread --------------------------------------------------

  /// The run's state now (the counts are read from the panel words). A new
  /// port moves the bench socket to that port's name.
  void SetState(remote::RunState state, const std::string& port);
  void Told(PortNews news, const std::string& text);
  void Unwritten(const std::string& text);
  /// The images of the run that has just started.
  void Images(const ImageFacts (&images)[kImageCount]);
  /// The verbs waiting: readable while some do.
  RequestQueue& Requests() { return requests_; }
  /// Answers a request once it has been carried out or refused.
  void Answer(const FrontRequest& request, bool done, const std::string& reason = {});
  /// True once an own engine's front end has gone (or there never was one).
  bool FrontEndGone() const { return gone_.load(std::memory_order_acquire); }

 private:
  // A message for one connection (`to`) or for all (0).
  struct Note {
    uint32_t to = 0;
    std::string bytes;
    bool reply = false;
  };

  void Run();
  void Wake();
  void AcceptAll();
  void ReadFrom(FrontConnection& c);
  void Handle(FrontConnection& c, const remote::Message& m);
  void Refuse(FrontConnection& c, const std::string& reason);
  /// Hands what waits to every connection; the progress rows are read
  /// only on a `tick`.
  void Distribute(bool tick);
  void UpdateWants();
  void Post(Note note);

  const remote::EngineMode mode_;
  const uid_t self_;
  // What Watch names; the hub's thread reads them under watchMu_, which no
  // worker thread ever takes.
  std::mutex watchMu_;
  const PanelState* panel_ = nullptr;
  ProgressBoard* progress_ = nullptr;
  LogSlot* textSlot_ = nullptr;
  std::string greeting_;
  RequestQueue requests_;
  std::atomic<bool> wantsText_{false};
  std::atomic<bool> wantsPanel_{false};
  std::atomic<bool> gone_{false};

  // Written by any thread under mu_, taken by the hub's thread.
  std::mutex mu_;
  std::string text_;              // pieces in their wire form
  uint64_t textDropped_ = 0;      // pieces beyond the batch's bound
  std::string panelText_;         // the panel as the edits left it
  std::vector<remote::PanelEdit> edits_;
  size_t editBytes_ = 0;
  bool editsLost_ = false;        // the batch overflowed: all go whole
  std::vector<Note> notes_;
  uint64_t notesDropped_ = 0;
  remote::RunState state_ = remote::RunState::kStopped;
  std::string port_;
  bool haveImages_ = false;
  ImageFacts images_[kImageCount];
  bool stopping_ = false;

  // The hub's thread only.
  std::vector<std::unique_ptr<FrontConnection>> connections_;
  BenchListener listener_;
  ProgressFeed feed_;
  uint32_t nextId_ = 1;
  int64_t nextProgressMs_ = 0;
  int wakeFd_ = -1;
  std::thread thread_;
};
