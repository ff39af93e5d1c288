// The Qt tests run with one application object, offscreen unless a platform is named.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The tests expect the texts as written, whatever the caller's language; the station's
  // tarvisel-cli inherits this.
  setenv("LC_ALL", "C.UTF-8", 1);
  unsetenv("LANGUAGE");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
