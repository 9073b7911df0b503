// The window tests' main: the application object the window runs under,
// on the offscreen platform unless another one is asked for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "console/gui/server_app.h"
#include "link/if_claim.h"

#if defined(__SANITIZE_THREAD__)
// Qt's libraries are not built with ThreadSanitizer: their own threads (the
// platform's thread pool, font loading) allocate and free through the
// detector's interceptors while their synchronisation stays invisible to it.
// Interceptors then check only calls made from instrumented code, so ours,
// the window's hand-over queues included, is still checked in full. The
// lock of Qt's event queue is just as invisible: no data of ours may cross
// threads in a queued call, only wake-ups; it goes under our own locks.
extern "C" const char* __tsan_default_options() {
  return "ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  // The windows' Starts claim their (mostly made-up) interfaces in a folder
  // of this run, not in the machine's.
  char claims[] = "/tmp/skav-gui-claims-XXXXXX";
  if (mkdtemp(claims) != nullptr) L2_SetClaimDirForTest(claims);
  CServerApp app(argc, argv);
  const int status = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(claims, ec);
  return status;
}
