// An error sink for tests: installs itself for its lifetime and keeps every
// message box text shown, from whichever thread showed it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "report/debug_print.h"

class RecordingErrorSink : public ErrorSink {
 public:
  RecordingErrorSink() { SetErrorSink(this); }
  ~RecordingErrorSink() override { SetErrorSink(nullptr); }
  void Show(const char* text) override {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.emplace_back(text);
  }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> messages_;
};
