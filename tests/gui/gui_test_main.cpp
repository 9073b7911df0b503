// The window tests' main: the application object the window runs under,
// on the offscreen platform unless another one is asked for.
#include <gtest/gtest.h>

#include "console/gui/server_app.h"

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  CServerApp app(argc, argv);
  return RUN_ALL_TESTS();
}
