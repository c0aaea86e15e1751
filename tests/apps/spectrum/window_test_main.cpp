// A gtest main for widget tests: the window needs a QApplication, created before any test.
#include <gtest/gtest.h>

#include <QApplication>

#include "apps/spectrum/form1.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest's discovery at build time) needs no platform at all.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  // Run by hand, too, the windows are drawn without a screen, as under CTest.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  quorvane::SetApplicationTitle();
  return RUN_ALL_TESTS();
}
