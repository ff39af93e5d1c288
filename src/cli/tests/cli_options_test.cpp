// The command line: what is accepted, what each option becomes, and what is a usage error.
#include <gtest/gtest.h>

#include "CliOptions.h"
#include "ExitStatus.h"
#include "platform/MessageBox.h"

namespace {

CliParse Parse(std::vector<std::string> args, CliOptions& o) {
  std::string message;
  return ParseCliArgs(args, o, message);
}

TEST(CliOptions, TypeNamesOfTheCommandLineAndOfTheWindow) {
  const std::vector<std::pair<std::string, std::optional<int>>> cases = {
      {"normal", 0},           {"NORMAL", 0},           {"emergency", 1},      {"font", 2},
      {"change-emergency", 3}, {"CHANGE(EMERGENCY)", 3}, {"change-normal", 4}, {"CHANGE(NORMAL)", 4},
      {"change", std::nullopt}, {"", std::nullopt},     {"normal2", std::nullopt}};
  for (const auto& [text, type] : cases) EXPECT_EQ(ParseDownloadType(text), type) << text;
}

TEST(CliOptions, ADownloadWithEveryOption) {
  CliOptions o;
  ASSERT_EQ(Parse({"download", "img.bin", "--type", "CHANGE(NORMAL)", "--port", "COM2", "--speed", "57600",
                   "--yes", "--quiet", "--timeout", "2.5", "--log", "l.txt", "--trace-wire", "t.txt"},
                  o),
            CliParse::Ok);
  EXPECT_EQ(o.command, CliCommand::Download);
  EXPECT_EQ(o.image, "img.bin");
  EXPECT_EQ(o.type, 4);
  EXPECT_EQ(o.port, 2);
  EXPECT_EQ(o.speedIdx, 0);
  EXPECT_EQ(o.answer, CliAnswer::Yes);
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.timeoutSecs, 2.5);
  EXPECT_EQ(o.logFile, "l.txt");
  EXPECT_EQ(o.traceFile, "t.txt");
}

TEST(CliOptions, DefaultsLeaveThePortAndSpeedToTheStoredSettings) {
  CliOptions o;
  ASSERT_EQ(Parse({"info", "--device", "/dev/ttyUSB0", "--no"}, o), CliParse::Ok);
  EXPECT_EQ(o.command, CliCommand::Info);
  EXPECT_FALSE(o.port);
  EXPECT_FALSE(o.speedIdx);
  EXPECT_EQ(o.device, "/dev/ttyUSB0");
  EXPECT_EQ(o.answer, CliAnswer::No);
  EXPECT_EQ(o.type, 0);
  ASSERT_EQ(Parse({"ports"}, o), CliParse::Ok);
  EXPECT_EQ(o.command, CliCommand::Ports);
}

TEST(CliOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"flash", "a.bin"},
      {"download"},
      {"download", "a.bin", "--speed", "9600"},
      {"download", "a.bin", "--port", "3"},
      {"download", "a.bin", "--type", "bogus"},
      {"download", "a.bin", "--yes", "--no"},
      {"download", "a.bin", "--timeout", "0"},
      {"download", "a.bin", "--timeout", "soon"},
      {"download", "a.bin", "--font-blocks", "3"},  // FONT parameters without --type font
      {"info", "--frobnicate"},
      {"ports", "--port", "1"},
  };
  for (const auto& args : cases) {
    CliOptions o;
    std::string message;
    EXPECT_EQ(ParseCliArgs(args, o, message), CliParse::Error) << ::testing::PrintToString(args);
    EXPECT_FALSE(message.empty());
  }
}

TEST(CliOptions, FontParametersAndTimeOutsOutsideTheirRangesAreUsageErrorsThatSayTheRange) {
  const struct {
    std::vector<std::string> args;
    const char* says;  // nullptr: accepted
  } cases[] = {
      {{"--font-address", "zz"}, "--font-address: 1 to 6 hexadecimal digits"},
      {{"--font-address", "-1"}, "--font-address: 1 to 6 hexadecimal digits"},
      {{"--font-address", "0x2100"}, "--font-address: 1 to 6 hexadecimal digits"},
      {{"--font-address", "1234567"}, "--font-address: 1 to 6 hexadecimal digits"},
      {{"--font-address", " 200"}, "--font-address: 1 to 6 hexadecimal digits"},
      {{"--font-address", "aBc123"}, nullptr},
      {{"--font-blocks", "0"}, "--font-blocks: a number of 64 KB blocks from 1 to 100"},
      {{"--font-blocks", "101"}, "--font-blocks: a number of 64 KB blocks from 1 to 100"},
      {{"--font-blocks", "1e2"}, "--font-blocks: a number of 64 KB blocks from 1 to 100"},
      {{"--font-blocks", "100"}, nullptr},
      {{"--timeout", "1000001"}, "--timeout: at most 1000000 seconds"},
      {{"--timeout", "-5"}, "--timeout: a number of seconds above 0"},
      {{"--timeout", "1000000"}, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"download", "f.bin", "--type", "font"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliOptions o;
    std::string message;
    const CliParse got = ParseCliArgs(args, o, message);
    if (!c.says) {
      EXPECT_EQ(got, CliParse::Ok) << ::testing::PrintToString(c.args) << ": " << message;
      continue;
    }
    EXPECT_EQ(got, CliParse::Error) << ::testing::PrintToString(c.args);
    EXPECT_EQ(message.rfind(c.says, 0), 0u) << message;
  }
}

TEST(CliOptions, HelpIsNotAnError) {
  CliOptions o;
  std::string message;
  EXPECT_EQ(ParseCliArgs({"--help"}, o, message), CliParse::Help);
  EXPECT_NE(message.find("download"), std::string::npos);
}

TEST(ExitStatus, EveryEndHasItsDocumentedStatus) {
  const struct {
    RunEnd end;
    int status;
    const char* name;
  } cases[] = {
      {RunEnd::Completed, kExitOk, "completed"},
      {RunEnd::NoReply, kExitNoReply, "no-reply"},
      {RunEnd::OutOfStep, kExitNoReply, "out-of-step"},
      {RunEnd::Timeout, kExitNoReply, "timeout"},
      {RunEnd::Refused, kExitRefused, "refused"},
      {RunEnd::ReadError, kExitRefused, "read-error"},
      {RunEnd::Declined, kExitDeclined, "declined"},
      {RunEnd::PortFailed, kExitPort, "port"},
      {RunEnd::LineBroke, kExitPort, "line-broke"},
      {RunEnd::Stopped, kExitInterrupted, "stopped"},
      {RunEnd::Interrupted, kExitInterrupted, "interrupted"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExitStatusOf(c.end), c.status) << c.name;
    EXPECT_STREQ(EndName(c.end), c.name);
  }
  // Every engine outcome has an end of the same name.
  for (Outcome o : {Outcome::Completed, Outcome::NoReply, Outcome::Refused, Outcome::Declined, Outcome::PortFailed,
                    Outcome::LineBroke, Outcome::Stopped, Outcome::ReadError, Outcome::OutOfStep}) {
    EXPECT_STREQ(EndName(EndOfOutcome(o)), OutcomeName(o));
  }
}

}  // namespace
