// A bench service's engine: the headless run as it always was, with a tap
// that shows the bench's front ends what the run shows its journal, and
// carries out what they may ask of a bench (Clear, sort, Retry Failed; a
// supervisor's Stop, Start and Reload with the supervisor password).
#pragma once

#include <string>

#include "console/headless/run_tap.h"
#include "engine/front_hub.h"

class ServiceTap : public RunTap {
 public:
  /// `settingsFile`: the run's settings (empty: the machine-wide ones),
  /// whose supervisor password a supervisor's verb must carry.
  ServiceTap(FrontHub& hub, std::string settingsFile)
      : hub_(hub), settingsFile_(std::move(settingsFile)), log_(hub), panel_(hub),
        errors_(hub) {}

  LogSink* TeeLog(LogSink* own) override {
    log_.own = own;
    return &log_;
  }
  StatusEditListener* TeePanel(StatusEditListener* own) override {
    panel_.own = own;
    return &panel_;
  }
  ErrorSink* TeeErrors(ErrorSink* own) override {
    errors_.own = own;
    return &errors_;
  }
  /// Starts the hub, which now has what it reads.
  void Wire(SKAVDContext& ctx) override;
  void Unwire() override;

  void Facts(const RunFacts& facts) override;
  void Stopping() override;
  void Told(PortNews news, const std::string& text) override { hub_.Told(news, text); }
  void Unwritten(const std::string& text) override { hub_.Unwritten(text); }
  int RequestFd() const override { return hub_.Requests().fd(); }
  bool Serve(RunRequests& run) override;

 private:
  class LogTee : public LogSink {
   public:
    explicit LogTee(FrontHub& hub) : hub_(hub) {}
    void Append(const char* text, size_t len) override {
      own->Append(text, len);
      hub_.Append(text, len);
    }
    void AppendNoted(const char* text, size_t len, LineNote note) override {
      own->AppendNoted(text, len, note);
      hub_.AppendNoted(text, len, note);
    }
    LogSink* own = nullptr;

   private:
    FrontHub& hub_;
  };
  class PanelTee : public StatusEditListener {
   public:
    explicit PanelTee(FrontHub& hub) : hub_(hub) {}
    void OnEdit(int pos, int count, const std::string& text) override {
      own->OnEdit(pos, count, text);
      hub_.OnEdit(pos, count, text);
    }
    StatusEditListener* own = nullptr;

   private:
    FrontHub& hub_;
  };
  class ErrorTee : public ErrorSink {
   public:
    explicit ErrorTee(FrontHub& hub) : hub_(hub) {}
    void Show(const char* text) override {
      own->Show(text);
      hub_.Show(text);
    }
    ErrorSink* own = nullptr;

   private:
    FrontHub& hub_;
  };

  /// Empty when `password` is the stored supervisor password; otherwise
  /// why the verb is refused.
  std::string SupervisorRefusal(const std::string& password) const;
  void Publish(remote::RunState state, const std::string& port);

  FrontHub& hub_;
  std::string settingsFile_;
  LogTee log_;
  PanelTee panel_;
  ErrorTee errors_;
  SKAVDContext* ctx_ = nullptr;
  RunFacts facts_;
  std::string port_;
};
