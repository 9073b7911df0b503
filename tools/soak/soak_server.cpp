// The in-process server of the soak: see soak_server.h.
#include "soak/soak_server.h"

#include <cstring>
#include <thread>

#include "report/log_file.h"
#include "soak/soak_env.h"

namespace soak {

void PanelMirror::OnEdit(int pos, int count, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (pos < 0 || count < 0 || static_cast<size_t>(pos) > text_.size() ||
      static_cast<size_t>(count) > text_.size() - static_cast<size_t>(pos)) {
    ++badEdits_;
    return;
  }
  text_.replace(static_cast<size_t>(pos), static_cast<size_t>(count), text);
}

std::string PanelMirror::Text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return text_;
}

int PanelMirror::BadEdits() const {
  std::lock_guard<std::mutex> lock(mu_);
  return badEdits_;
}

SoakServer::SoakServer(const std::string& ifName, LineAudit& audit)
    : audit_(audit), control_(ctx_) {
  interfaces_.count = 1;
  std::snprintf(interfaces_.name[0], sizeof interfaces_.name[0], "%s", ifName.c_str());
  std::snprintf(interfaces_.description[0], sizeof interfaces_.description[0], "%s",
                ifName.c_str());
  slot_.store(&audit_);
  status_.SetListener(&mirror_);
  ctx_.statusCtl = &status_;
  ctx_.panel.Set(sortKey, kSortMacUp);
}

SoakServer::~SoakServer() {
  control_.Stop();
  CloseLogFile(ctx_.logFile);
}

bool SoakServer::OpenLog(const std::string& path) {
  return OpenLogFile(ctx_.logFile, path);
}

bool SoakServer::Start(int run, const ImagePaths& images, int region) {
  StartRequest request;
  request.firmwarePath = images.firmware;
  for (int k = 0; k < 6; ++k) request.stringTablePaths[k] = images.stringTables[k];
  request.interfaces = &interfaces_;
  request.interfaceItem = 0;
  request.regionCode = region;
  request.logSlot = &slot_;
  audit_.BeginRun(run);
  const bool ok = control_.Start(request);
  if (!ok) audit_.EndRun();
  return ok;
}

StopTiming SoakServer::Stop() {
  StopTiming t;
  t.threadsBefore = ThreadCount();
  const Clock::time_point t0 = Clock::now();
  control_.RequestStop();
  // The window keeps dispatching while it waits; here the wait is cut in
  // 1 ms slices to watch the client threads end.
  while (!control_.WaitForServerThread(1)) {
    if (t.firstClientEndedMs < 0 && ThreadCount() < t.threadsBefore)
      t.firstClientEndedMs = MsSince(t0);
  }
  t.threadEndedMs = MsSince(t0);
  control_.FinishStop();
  t.finishedMs = MsSince(t0);
  audit_.EndRun();
  return t;
}

void SoakServer::PressClear() {
  audit_.MarkClear();  // before the request, which the loop may serve at once
  OnClearStatus(ctx_.panel);
  if (control_.Running()) L2_BreakLoop(control_.Link());
}

void SoakServer::PressSort(int32_t id) {
  if (OnSortButton(ctx_.panel, id) && control_.Running())
    L2_BreakLoop(control_.Link());
}

bool SoakServer::PanelMatches() const { return mirror_.Text() == status_.Text(); }

}  // namespace soak
