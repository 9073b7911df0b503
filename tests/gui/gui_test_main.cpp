// The window tests' main: the application object the window runs under,
// on the offscreen platform unless another one is asked for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "console/gui/server_app.h"
#include "link/if_claim.h"

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
