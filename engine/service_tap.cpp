// The bench service's side of the front-end protocol: the run's state for
// the front ends, and their verbs carried out as the signals and buttons
// they stand for.
#include "engine/service_tap.h"

#include "console/settings/settings_store.h"
#include "link/if_list.h"
#include "report/log_file.h"

using remote::FrontType;
using remote::RunState;

void ServiceTap::Wire(SKAVDContext& ctx) {
  ctx_ = &ctx;
  hub_.Watch(&ctx.panel, &ctx.progress);
  hub_.Start();
}

void ServiceTap::Unwire() {
  hub_.Watch(nullptr, nullptr);
  ctx_ = nullptr;
}

void ServiceTap::Publish(RunState state, const std::string& port) {
  if (!port.empty()) port_ = port;
  hub_.SetState(state, port_);
}

void ServiceTap::Facts(const RunFacts& facts) {
  const bool started = facts.running && !facts_.running;
  facts_ = facts;
  if (facts.running) {
    // Running without a link: a cable out, the other end off.
    Publish(L2_IfHasLink(facts.port.c_str()) ? RunState::kRunning : RunState::kNoLink,
            facts.port);
  } else if (!facts.awaited.empty()) {
    Publish(RunState::kWaitingForPort, facts.awaited);
  } else {
    Publish(RunState::kStopped, facts.port);
  }
  if (started && ctx_ != nullptr) hub_.Images(ctx_->imageFacts);
}

void ServiceTap::Stopping() { Publish(RunState::kStopping, {}); }

std::string ServiceTap::SupervisorRefusal(const std::string& password) const {
  std::string stored;
  if (!LoadSupervisorPassword(settingsFile_, &stored))
    return "the supervisor password of the bench's settings cannot be read";
  // The window's own words for a wrong password.
  return password == stored ? std::string() : "Invalid Supervisor Password.";
}

bool ServiceTap::Serve(RunRequests& run) {
  FrontRequest r;
  while (hub_.Requests().Pop(&r)) {
    const remote::FrontMessage& m = r.message;
    switch (m.type) {
      case FrontType::kClear:
        run.Clear();
        hub_.Answer(r, true);
        break;
      case FrontType::kSort:
        run.Sort(m.sortKey);
        hub_.Answer(r, true);
        break;
      case FrontType::kRetryFailed:
        run.RetryFailed();
        hub_.Answer(r, true);
        break;
      case FrontType::kBanner: {
        const bool written = ctx_ != nullptr && LogFileBanner(ctx_->logFile, m.banner) == 1;
        hub_.Answer(r, written, written ? "" : "the bench keeps no log file");
        break;
      }
      case FrontType::kStop:
      case FrontType::kStartStored:
      case FrontType::kReload: {
        if (const std::string no = SupervisorRefusal(m.password); !no.empty()) {
          hub_.Answer(r, false, no);
          break;
        }
        if (m.type == FrontType::kStop) {
          run.Stop();
          Publish(RunState::kStopped, {});
          hub_.Answer(r, true);
        } else if (m.type == FrontType::kStartStored) {
          if (facts_.running) {
            hub_.Answer(r, false, "the server is running already");
          } else {
            const bool started = run.StartFromSettings();
            hub_.Answer(r, started, started ? "" : "the server did not start; its messages say why");
          }
        } else if (!run.Reload()) {
          hub_.Answer(r, false, "the new settings did not start the server; the bench ends");
          return false;
        } else {
          hub_.Answer(r, true);
        }
        break;
      }
      default:
        hub_.Answer(r, false, std::string("a bench service takes no ") +
                                  remote::FrontTypeName(m.type));
        break;
    }
  }
  return true;
}
