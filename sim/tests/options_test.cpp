// The command line of tarvisel-sim.
#include <gtest/gtest.h>

#include <cstdio>

#include "SimOptions.h"

using namespace sim;

namespace {

bool Parse(const std::vector<std::string>& args, SimOptions& o, std::string& error) {
  return ParseSimArgs(args, o, error);
}

TEST(SimOptions, ReplayTakesTheScenarioOfAnExplorerLine) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--replay", "type=emergency speed=115200 variant=crc30 blocks=2 live=1 | rev=1; start=download; "
                                 "silent=block:2; chatter=block:1:2000"},
                    o, error))
      << error;
  EXPECT_EQ(o.scenario.start, StartMode::Download);
  EXPECT_EQ(o.scenario.silent.size(), 1u);
  EXPECT_EQ(o.scenario.chatter.size(), 1u);
  EXPECT_FALSE(Parse({"--replay", "type=normal | silent=nothing:1"}, o, error));
  EXPECT_NE(error.find("not a request kind"), std::string::npos) << error;
}

TEST(SimOptions, EveryOption) {
  const std::string file = ::testing::TempDir() + "/sim_scenario.txt";
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("# slow eraser\nerase-ms=7000\nsilent=block:3\n", f);
  std::fclose(f);
  SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--scenario", "rev=5; variant=plain", "--scenario-file", file, "--flash-size", "4M",
                     "--save-flash", "out.bin", "--record", "rec.txt", "--link", "/tmp/handset", "--pace",
                     "--exit-after-download", "-v", "--line-log", "line.txt"},
                    o, error))
      << error;
  std::remove(file.c_str());
  EXPECT_EQ(o.scenario.version.revision, 5);
  EXPECT_EQ(o.scenario.variant, DmVariant::Plain);
  EXPECT_EQ(o.scenario.timing.eraseMs, 7000u);  // the file after the text, both applied
  EXPECT_EQ(o.scenario.silent.size(), 1u);
  EXPECT_EQ(o.flashSize, size_t{4} << 20);
  EXPECT_EQ(o.saveFlash, "out.bin");
  EXPECT_EQ(o.record, "rec.txt");
  EXPECT_EQ(o.link, "/tmp/handset");
  EXPECT_EQ(o.lineLog, "line.txt");
  EXPECT_TRUE(o.pace);
  EXPECT_TRUE(o.exitAfterDownload);
  EXPECT_TRUE(o.verbose);
  EXPECT_FALSE(o.help);
}

TEST(SimOptions, FlashSizes) {
  struct Case {
    const char* text;
    bool ok;
    size_t size;
  } cases[] = {
      {"16M", true, size_t{16} << 20}, {"512k", true, 512 * 1024}, {"0x100000", true, 0x100000},
      {"65536", true, 65536},          {"256M", true, size_t{256} << 20}, {"257M", false, 0},
      {"1024", false, 0},              {"12Q", false, 0},          {"", false, 0},
      {"M", false, 0},
  };
  for (const auto& c : cases) {
    SimOptions o;
    std::string error;
    EXPECT_EQ(Parse({"--flash-size", c.text}, o, error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(o.flashSize, c.size) << c.text;
    } else {
      EXPECT_NE(error.find("--flash-size"), std::string::npos) << error;
    }
  }
}

TEST(SimOptions, BadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--scenario"}, "--scenario needs a value"},
      {{"--scenario", "rev=x"}, "rev is a number"},
      {{"--scenario-file", "/nonexistent/file"}, "cannot read the scenario file"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--record"}, "--record needs a value"},
  };
  for (const auto& c : cases) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(Parse(c.args, o, error)) << c.says;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

}  // namespace
