// Start and Stop of the server: every step in its order, and the undo of a
// start that failed half way.
#include "console/server_control.h"

#include <unistd.h>

#include <chrono>
#include <system_error>

#include "protocol/client_table.h"
#include "transfer/image_fingerprint.h"
#include "transfer/upload_images.h"

namespace {

const char kServerAddress[] = "10.0.0.1";
// How long a stop gives the files for the last outcome lines; what they
// do not take by then is shown to the operator instead.
constexpr int kLastLinesMs = 3000;
const char kServerMask[] = "255.0.0.0";

}  // namespace

bool LoadRequestImages(const StartRequest& request, UploadImages& images) {
  // One message per failed start: the file and why, in one box.
  std::string why;
  const char* firmware = request.firmwarePath.c_str();
  if (!IsBlankPath(firmware) &&
      !LoadFileToMemory(firmware, &images.buf[0], &images.len[0], &why)) {
    ErrorBox("Unable to load the firmware file '%s' to memory (%s)", firmware, why.c_str());
    return false;
  }

  const int failed = LoadStringTables(request.stringTablePaths, images, &why);
  if (failed >= 1 && failed <= 6) {
    ErrorBox("Unable to load the string table file '%02d' to memory: %s (%s)", failed,
             request.stringTablePaths[failed - 1].c_str(), why.c_str());
    return false;
  }

  uint32_t stMask = 0;
  for (int k = 1; k <= 6; ++k) {
    if (images.Loaded(k)) stMask |= 1u << (k - 1);
  }
  images.stMask = stMask;
  return true;
}

ServerControl::ServerControl(SKAVDContext& ctx, LinkOps ops)
    : ctx_(ctx), ops_(std::move(ops)), writer_(ctx.logFile, ctx.recordFile) {
  // For the whole life of the front end: a supervisor's banner between
  // runs goes out through it too, never from the window's thread. Without
  // a thread whoever holds a line writes it.
  writer_.Start();
}

ServerControl::~ServerControl() {
  Stop();
  SKAVDDeleteAllClients();
}

bool ServerControl::Running() const {
  return ctx_.running.load(std::memory_order_acquire) == 1;
}

bool ServerControl::Start(const StartRequest& request) {
  if (Running()) return true;

  // Nothing of an earlier run may be left; with no thread running the
  // images can be released here.
  FreeUploadImages(ctx_.images);

  const L2_IfList* list = request.interfaces;
  const int count = list ? list->count : 0;
  const int item = request.interfaceItem;
  const int entry = count > 1 ? item - 1 : 0;
  if (item < 0 || (item == 0 && count > 1) || entry >= count) {
    ErrorBox("Please select a network interface to run the server");
    return Fail(request);
  }
  const char* name = list->name[entry];
  const char* description = list->description[entry];
  ifName_ = name;
  ifDescription_ = description;
  manager_ = {};

  // Before anything touches the interface: a server already on it keeps
  // it, its address and its devices untouched.
  switch (claim_.Take(name)) {
    case L2_IfClaim::Result::kClaimed:
      if (!claim_.note().empty()) {
        DebugPrint(LogControl(request.logSlot), "%s\r\n", claim_.note().c_str());
      }
      break;
    case L2_IfClaim::Result::kTaken:
      if (claim_.holder() > 0) {
        ErrorBox("Interface '%s' is already served by skav-server (pid %ld)", description,
                 static_cast<long>(claim_.holder()));
      } else {
        ErrorBox("Interface '%s' is already served by skav-server", description);
      }
      return Fail(request);
    case L2_IfClaim::Result::kFailed:
      ErrorBox("Unable to claim the interface '%s': %s", description, claim_.reason().c_str());
      return Fail(request);
  }

  // A port nobody configured is down after boot; the run owns it now.
  switch (ops_.takeUp(name)) {
    case 0:
      break;
    case 1:
      DebugPrint(LogControl(request.logSlot),
                 "The network interface '%s' was down; it has been taken up for the run\r\n",
                 description);
      break;
    default:
      ErrorBox("Unable to take the interface '%s' up: %s", description,
               ops_.ifAddrError ? ops_.ifAddrError() : "");
      return Fail(request);
  }

  char errorText[256] = "";
  link_ = ops_.open(name, description, errorText);
  if (link_ == nullptr) {
    ErrorBox("Unable to open the interface: %s", errorText);
    return Fail(request);
  }

  if (ops_.setIfAddr(description, kServerAddress, kServerMask) != 0) {
    const char* reason = ops_.ifAddrError ? ops_.ifAddrError() : nullptr;
    const bool why = reason != nullptr && reason[0] != '\0';
    ErrorBox("Unable to set IP address '%s/%s' to the interface '%s'%s%s", kServerAddress,
             kServerMask, description, why ? ": " : "", why ? reason : "");
    return Fail(request);
  }
  // Whose it is, since it stays after the stop as it was before the start.
  if (ops_.ifAddrFound && ops_.ifAddrFound()) {
    DebugPrint(LogControl(request.logSlot),
               "The server address 10.0.0.1/8 is on the interface '%s' already, put there by "
               "another program; the run uses it as it is and leaves it there\r\n",
               description);
  }

  // Said before the run starts, so the remedy is read before the
  // manager's first removal rather than after.
  if (link_->ifIndex != 0)
    manager_ = L2_FindPortManager(static_cast<int>(link_->ifIndex), name);
  if (manager_.manager != L2_PortManager::kNone) {
    DebugPrint(LogControl(request.logSlot),
               "%s manages the interface '%s' and may remove the server address from it; to "
               "stop it, %s\r\n",
               L2_PortManagerName(manager_), description,
               L2_PortManagerRemedy(manager_, description).c_str());
  }

  if (!LoadRequestImages(request, ctx_.images)) return Fail(request);
  {
    std::string paths[kImageCount] = {request.firmwarePath};
    for (int k = 1; k < kImageCount; ++k) paths[k] = request.stringTablePaths[k - 1];
    FingerprintImages(ctx_.images, paths, ctx_.imageFacts);
  }
  {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    ctx_.recordServer = RecordServer{host, name, SKAV_VERSION};
  }
  ctx_.owner = request.owner;
  ctx_.logSlot = request.logSlot;
  ctx_.regionCode = request.regionCode;
  ctx_.resume = request.resume;
  ctx_.maxLiveClients = request.maxLiveClients;
  ctx_.link = link_;
  writer_.SetSlot(request.logSlot);
  writer_.Start();
  ctx_.running.store(1, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = false;
  }
  try {
    thread_ = std::thread([this] {
      SKAVDServerThread(&ctx_);
      {
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
      }
      endedCv_.notify_all();
    });
  } catch (const std::system_error& e) {
    ctx_.running.store(0, std::memory_order_release);
    {
      std::lock_guard<std::mutex> lock(mu_);
      ended_ = true;
    }
    ErrorBox("Unable to start the server thread: %s", e.what());
    return Fail(request);
  }
  DebugPrint(LogControl(ctx_.logSlot), "SKAV Server starts running (region: %d)...\r\n",
             request.regionCode);
  for (const ImageFacts& facts : ctx_.imageFacts) {
    if (facts.loaded)
      DebugPrint(LogControl(ctx_.logSlot), "%s", FingerprintLine(facts).c_str());
  }
  return true;
}

bool ServerControl::Fail(const StartRequest& request) {
  DebugPrint(LogControl(request.logSlot), "SKAV Server is stopped.\r\n");
  Stop();
  return false;
}

void ServerControl::RequestStop(bool keepClients) {
  if (ctx_.running.load(std::memory_order_acquire) != 1) return;
  if (beforeStop_) beforeStop_();
  ctx_.keepClients.store(keepClients, std::memory_order_relaxed);
  ctx_.running.store(0, std::memory_order_release);
  L2_BreakLoop(link_);
}

bool ServerControl::WaitForServerThread(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (ms < 0) {
    endedCv_.wait(lock, [this] { return ended_; });
    return true;
  }
  return endedCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended_; });
}

void ServerControl::FinishStop() {
  // Client threads read the images and send through the link until the
  // server thread has ended them, so release nothing before the join.
  if (thread_.joinable()) {
    thread_.join();
    // The last lines were handed over as the thread ended. A writer stuck
    // in the kernel is not waited for beyond this: what it has not
    // written by then is copied (it stays held) and shown.
    writer_.Drain(kLastLinesMs);
    unwritten_ += CopyUnwritten(ctx_.logFile, ctx_.recordFile);
  }
  FreeUploadImages(ctx_.images);
  if (link_ != nullptr) {
    ctx_.link = nullptr;
    L2_Close(link_);
    link_ = nullptr;
  }
  claim_.Release();
}

bool ServerControl::HasLink() const {
  return link_ == nullptr || !ops_.hasLink || ops_.hasLink(ifName_.c_str());
}

bool ServerControl::PortGone() const {
  return link_ != nullptr && ops_.ifGone && ops_.ifGone(link_, ifName_.c_str());
}

int ServerControl::KeepAddress() {
  if (!Running() || !ops_.keepIfAddr) return 0;
  return ops_.keepIfAddr(ifDescription_.c_str(), kServerAddress, kServerMask);
}

const char* ServerControl::KeepAddressError() const {
  return ops_.ifAddrError ? ops_.ifAddrError() : "";
}

std::string ServerControl::TakeUnwrittenOutcomes() {
  std::string text;
  text.swap(unwritten_);
  return text;
}

void ServerControl::Print(const std::string& line) const {
  DebugPrint(LogControl(ctx_.logSlot), "%s", line.c_str());
}

void ServerControl::Stop(bool keepClients) {
  RequestStop(keepClients);
  WaitForServerThread(-1);
  FinishStop();
}
