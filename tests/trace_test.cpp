// The diagnostic trace is silent unless TARVISEL_TRACE asks for it. The channel reads the
// variable once, so each case runs in a fresh process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/Trace.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override { unsetenv("TARVISEL_TRACE"); }
};

TEST_F(TraceTest, AFileNamedByTheVariableReceivesTheLines) {
  // The child runs this test again up to the death statement: the path must not depend on the
  // process, and only the parent may remove the file.
  const std::string path = ::testing::TempDir() + "tarvisel-trace-test.log";
  if (!::testing::internal::InDeathTestChild()) std::remove(path.c_str());
  setenv("TARVISEL_TRACE", path.c_str(), 1);
  EXPECT_EXIT(
      {
        trace::Write("Failt to open Comm\n");
        trace::Printf("DL_START RX_THREAD = (%08X) \n", 0x1234u);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Slurp(path), "Failt to open Comm\nDL_START RX_THREAD = (00001234) \n");
  std::remove(path.c_str());
}

TEST_F(TraceTest, StandardErrorWhenAskedAndNothingOtherwise) {
  setenv("TARVISEL_TRACE", "stderr", 1);
  EXPECT_EXIT(
      {
        trace::Write("TEXT QUEUE FULL\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "TEXT QUEUE FULL");
  unsetenv("TARVISEL_TRACE");
  EXPECT_EXIT(
      {
        trace::Write("text Queue is empty\n");
        std::fputs("done", stderr);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^done$");
}

}  // namespace
