// A device whose pushes go to a real TFTP server: it watches the server's
// file grow and asks for the next image once the file is complete.
#include "devsim/device.h"

#include <unistd.h>

#include "devsim/kernel_tftp.h"

namespace {

constexpr int64_t kPollMs = 20;
// A file of the expected size is complete once it has not changed for a
// moment (the TFTP server acknowledges right after writing); without a
// known size, it must rest longer.
constexpr int64_t kSettledKnownMs = 200;
constexpr int64_t kSettledUnknownMs = 1000;
constexpr int64_t kNoFileRetryMs = 2000;
constexpr int kMaxRequests = 5;

}  // namespace

void SimDevice::BeginFileWait(int64_t now) {
  // A file left by an earlier run would look complete at once.
  unlink((opt_.kernelTftpDir + "/" + WrqName(current_)).c_str());
  phase_ = Phase::kWaitFile;
  fileSize_ = -1;
  fileChangedAt_ = now;
  due_ = now + kPollMs;
}

void SimDevice::PollFile(int64_t now) {
  const std::string path = opt_.kernelTftpDir + "/" + WrqName(current_);
  const int64_t size = FileSize(path);
  ImageResult& r = images_[current_];
  if (size != fileSize_) {
    fileSize_ = size;
    fileChangedAt_ = now;
  }
  if (size < 0) {
    if (now - r.startMs >= sends_ * kNoFileRetryMs) {
      if (sends_ >= kMaxRequests) {
        Finish(now, "the TFTP server never stored " + WrqName(current_));
        return;
      }
      SendUlReq();
    }
    due_ = now + kPollMs;
    return;
  }
  const ImageExpectation& e = opt_.expect.image[current_];
  int64_t expected = -1;
  if (e.content) expected = static_cast<int64_t>(e.content->size());
  else if (e.size >= 0) expected = e.size;
  const int64_t settled = now - fileChangedAt_;
  const bool complete = (expected >= 0 && size == expected &&
                         settled >= kSettledKnownMs) ||
                        settled >= kSettledUnknownMs;
  if (!complete) {
    due_ = now + kPollMs;
    return;
  }
  r.complete = true;
  r.endMs = fileChangedAt_;
  r.verdict = CheckFile(path, e.given ? &e : nullptr, &r.bytes, &r.hash);
  Log("%s stored: %llu bytes%s%s", ImageLabel(current_).c_str(),
      static_cast<unsigned long long>(r.bytes), r.verdict.empty() ? "" : ", ",
      r.verdict.c_str());
  StartNextImage(now);
}
