// The command line: what is accepted, what each option becomes, and what is a usage error.
#include <gtest/gtest.h>

#include "CliOptions.h"
#include "ExitStatus.h"
#include "Station.h"
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
  EXPECT_EQ(o.ports, std::vector<int>{2});
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
  EXPECT_TRUE(o.ports.empty());
  EXPECT_FALSE(o.speedIdx);
  EXPECT_EQ(o.devices, std::vector<std::string>{"/dev/ttyUSB0"});
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

// A FONT download without its address would write the font at 0, over the start of the flash.
TEST(CliOptions, AFontDownloadWithoutItsAddressIsAUsageError) {
  const std::vector<std::vector<std::string>> cases = {
      {"download", "f.bin", "--type", "font"},
      {"download", "f.bin", "--type", "FONT", "--font-blocks", "4"},
      {"download", "f.bin", "--type", "font", "--device", "/dev/ttyUSB0", "--device", "/dev/ttyUSB1", "--yes"},
      {"watch", "f.bin", "--type", "font", "--ports-dir", "/dev/serial/by-id", "--yes"},
  };
  for (const auto& args : cases) {
    CliOptions o;
    std::string message;
    EXPECT_EQ(ParseCliArgs(args, o, message), CliParse::Error) << ::testing::PrintToString(args);
    EXPECT_EQ(message.rfind("--type font needs --font-address", 0), 0u) << message;
    auto with = args;
    with.insert(with.end(), {"--font-address", "0"});  // 0 on purpose is allowed
    EXPECT_EQ(ParseCliArgs(with, o, message), CliParse::Ok) << ::testing::PrintToString(with) << ": " << message;
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
    if (c.args.front() != "--font-address") args.insert(args.end(), {"--font-address", "200000"});
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

TEST(CliOptions, SeveralHandsetsAndWhatTheyRequire) {
  const struct {
    std::vector<std::string> args;
    const char* says;  // nullptr: accepted
    std::vector<std::string> devices;
    std::vector<int> ports;
  } cases[] = {
      {{"download", "a.bin", "--device", "A", "--device", "B", "--yes"}, nullptr, {"A", "B"}, {}},
      {{"download", "a.bin", "--device", "B", "--no", "--device", "A", "--device", "C"}, nullptr, {"B", "A", "C"}, {}},
      {{"download", "a.bin", "--port", "2", "--port", "COM1", "--yes"}, nullptr, {}, {2, 1}},
      {{"download", "a.bin", "--device", "A", "--log-dir", "logs", "--json"}, nullptr, {"A"}, {}},
      {{"info", "--device", "A", "--device", "B"}, nullptr, {"A", "B"}, {}},  // Info asks nothing
      {{"download", "a.bin", "--device", "A", "--device", "B"}, "several handsets: --yes or --no", {}, {}},
      {{"download", "a.bin", "--port", "1", "--port", "2"}, "several handsets: --yes or --no", {}, {}},
      {{"download", "a.bin", "--device", "A", "--device", "A", "--yes"}, "--device A is given twice", {}, {}},
      {{"download", "a.bin", "--port", "1", "--port", "com1", "--yes"}, "--port com1 is given twice", {}, {}},
      {{"download", "a.bin", "--device", "A", "--device", "B", "--yes", "--log", "l"}, "--log names one file", {}, {}},
      {{"info", "--device", "A", "--device", "B", "--trace-wire", "t"}, "--trace-wire goes with one handset", {}, {}},
      {{"info", "--device", "A", "--log", "l", "--log-dir", "d"}, "--log and --log-dir", {}, {}},
      {{"download", "a.bin", "--device", "", "--yes"}, "--device: an empty path", {}, {}},
  };
  for (const auto& c : cases) {
    CliOptions o;
    std::string message;
    const CliParse got = ParseCliArgs(c.args, o, message);
    if (!c.says) {
      ASSERT_EQ(got, CliParse::Ok) << ::testing::PrintToString(c.args) << ": " << message;
      EXPECT_EQ(o.devices, c.devices);
      EXPECT_EQ(o.ports, c.ports);
      EXPECT_EQ(HandsetCount(o), std::max<size_t>(1, std::max(c.devices.size(), c.ports.size())));
      continue;
    }
    EXPECT_EQ(got, CliParse::Error) << ::testing::PrintToString(c.args);
    EXPECT_EQ(message.rfind(c.says, 0), 0u) << message;
  }
  // Several values after one --device are not several devices: the second is an argument too many.
  CliOptions o;
  std::string message;
  EXPECT_EQ(ParseCliArgs({"download", "a.bin", "--device", "A", "B", "--yes"}, o, message), CliParse::Error);
}

// A station runs each handset through this same command line: what it hands a handset's process
// must read back as the station's own choices, for that device alone, with events on standard
// output and the logs left to the station.
TEST(CliOptions, AHandsetsProcessGetsTheStationsChoices) {
  const std::vector<std::vector<std::string>> stations = {
      {"download", "fw.bin", "--device", "A", "--device", "B", "--yes"},
      {"download", "fw.bin", "--type", "font", "--font-address", "2aB000", "--font-blocks", "8", "--speed", "57600",
       "--port", "1", "--port", "2", "--no", "--timeout", "0.25", "--log-dir", "logs", "--json"},
      {"download", "fw.bin", "--type", "CHANGE(EMERGENCY)", "--speed", "115200", "--device", "A", "--device", "B",
       "--yes", "--quiet", "--timeout", "600"},
      {"info", "--device", "A", "--device", "B", "--speed", "57600"},
      {"todm", "--device", "A", "--device", "B", "--timeout", "12.5"},
      {"download", "fw.bin", "--device", "A", "--device", "B", "--yes", "--history", "h.sqlite"},
      {"download", "fw.bin", "--device", "A", "--device", "B", "--no", "--no-history"},
      {"watch", "fw.bin", "--type", "emergency", "--speed", "57600", "--yes", "--retry", "2", "--new-only", "--json",
       "--log-dir", "logs", "--history", "h.sqlite", "--match", "0403:6001"},
      {"watch", "fw.bin", "--yes", "--record", "postgresql://line/db", "--station-name", "line 4", "--units-from", "scan"},
      {"download", "fw.bin", "--device", "A", "--device", "B", "--yes", "--record", "host=db", "--station-name", "s"},
  };
  for (const auto& args : stations) {
    CliOptions station;
    std::string message;
    ASSERT_EQ(ParseCliArgs(args, station, message), CliParse::Ok) << message;
    const std::vector<std::string> child = HandsetCommand("/path/to/tarvisel-cli", station, "/dev/serial/by-id/x");
    ASSERT_GE(child.size(), 2u);
    EXPECT_EQ(child[0], "/path/to/tarvisel-cli");
    CliOptions o;
    ASSERT_EQ(ParseCliArgs(std::vector<std::string>(child.begin() + 1, child.end()), o, message), CliParse::Ok)
        << ::testing::PrintToString(child) << ": " << message;
    const std::string what = ::testing::PrintToString(args);
    // A watch's handsets get downloads; only the choices of one download go on.
    EXPECT_EQ(o.command, station.command == CliCommand::Watch ? CliCommand::Download : station.command) << what;
    EXPECT_EQ(o.historyFile, station.historyFile) << what;
    EXPECT_EQ(o.noHistory, station.noHistory) << what;
    EXPECT_EQ(o.recordUrl, station.recordUrl) << what;
    EXPECT_EQ(o.stationName, station.stationName) << what;
    EXPECT_TRUE(o.unit.empty() && o.unitsFrom.empty()) << what << ": a watch gives each handset its own unit";
    EXPECT_EQ(o.retries, 0) << what;
    EXPECT_EQ(o.image, station.image) << what;
    if (station.command != CliCommand::Info && station.command != CliCommand::ToDm) {
      EXPECT_EQ(o.type, station.type) << what;
    }
    EXPECT_EQ(o.speedIdx, station.speedIdx) << what;
    EXPECT_EQ(o.fontAddress, station.fontAddress) << what;
    EXPECT_EQ(o.fontBlocks, station.fontBlocks) << what;
    EXPECT_EQ(o.answer, station.answer) << what;
    EXPECT_EQ(o.timeoutSecs, station.timeoutSecs) << what;
    EXPECT_EQ(o.devices, std::vector<std::string>{"/dev/serial/by-id/x"}) << what;
    EXPECT_TRUE(o.ports.empty()) << what;
    EXPECT_TRUE(o.json) << what;
    EXPECT_TRUE(o.quiet) << what;
    EXPECT_TRUE(o.logFile.empty() && o.logDir.empty() && o.traceFile.empty()) << what;
  }
}

TEST(CliOptions, AWatchAndTheHistoryWithEveryOption) {
  CliOptions w;
  ASSERT_EQ(Parse({"watch", "fw.bin", "--ports-dir", "/tmp/by-id", "--match", "0403:6001", "--match", "1A86:7523",
                   "--type", "emergency", "--speed", "115200", "--no", "--retry", "3", "--new-only", "--json",
                   "--log-dir", "logs", "--history", "h.sqlite"},
                  w),
            CliParse::Ok);
  EXPECT_EQ(w.command, CliCommand::Watch);
  EXPECT_EQ(w.image, "fw.bin");
  EXPECT_EQ(w.portsDir, "/tmp/by-id");
  EXPECT_EQ(w.matches, (std::vector<UsbId>{{"0403", "6001"}, {"1a86", "7523"}}));
  EXPECT_EQ(w.type, 1);
  EXPECT_EQ(w.answer, CliAnswer::No);
  EXPECT_EQ(w.retries, 3);
  EXPECT_TRUE(w.newOnly && w.json);
  EXPECT_EQ(w.historyFile, "h.sqlite");
  CliOptions d;
  ASSERT_EQ(Parse({"watch", "fw.bin", "--yes"}, d), CliParse::Ok);
  EXPECT_EQ(d.portsDir, "/dev/serial/by-id");
  EXPECT_EQ(d.retries, 0);

  CliOptions h;
  ASSERT_EQ(Parse({"history", "--history", "h.sqlite", "--since", "2026-12-08Z", "--outcome", "line-broke", "--device",
                   "/dev/ttyUSB0", "--csv"},
                  h),
            CliParse::Ok);
  EXPECT_EQ(h.command, CliCommand::History);
  EXPECT_EQ(h.since, "2026-12-08T00:00:00.000Z");
  EXPECT_EQ(h.outcomeFilter, "line-broke");
  EXPECT_EQ(h.deviceFilter, "/dev/ttyUSB0");
  EXPECT_TRUE(h.csv);
  EXPECT_TRUE(h.devices.empty()) << "history's --device filters; it names no handset";

  CliOptions shared;
  ASSERT_EQ(Parse({"history", "--record", "postgresql://db/line", "--unit", "SN 1", "--station", "line-2", "--json"},
                  shared),
            CliParse::Ok);
  EXPECT_EQ(shared.recordUrl, "postgresql://db/line");
  EXPECT_EQ(shared.unitFilter, "SN 1");
  EXPECT_EQ(shared.stationFilter, "line-2");
  CliOptions unit;
  ASSERT_EQ(Parse({"download", "fw.bin", "--unit", "SN 1", "--station-name", "line-2", "--record", "host=db"}, unit),
            CliParse::Ok);
  EXPECT_EQ(unit.unit, "SN 1");
  EXPECT_EQ(unit.stationName, "line-2");
  EXPECT_EQ(unit.recordUrl, "host=db");
  const struct {
    std::vector<std::string> args;
    CliCommand command;
  } records[] = {{{"record", "init", "host=db"}, CliCommand::RecordInit},
                 {{"record", "sync", "--record", "host=db", "--history", "h.sqlite"}, CliCommand::RecordSync},
                 {{"record", "status"}, CliCommand::RecordStatus}};
  for (const auto& r : records) {
    CliOptions o;
    ASSERT_EQ(Parse(r.args, o), CliParse::Ok) << ::testing::PrintToString(r.args);
    EXPECT_EQ(o.command, r.command);
  }

  const std::vector<std::vector<std::string>> wrong = {
      {"watch", "fw.bin"},  // the questions of every handset need an answer
      {"watch", "--yes"},
      {"watch", "fw.bin", "--yes", "--match", "0403-6001"},
      {"watch", "fw.bin", "--yes", "--match", "403:6001"},
      {"watch", "fw.bin", "--yes", "--retry", "101"},
      {"watch", "fw.bin", "--yes", "--retry", "two"},
      {"watch", "fw.bin", "--yes", "--device", "/dev/ttyUSB0"},
      {"watch", "fw.bin", "--yes", "--history", "h", "--no-history"},
      {"download", "fw.bin", "--history", "h", "--no-history"},
      {"history", "--csv", "--json"},
      {"history", "--since", "2026-02-30"},
      {"history", "--outcome", "usage"},  // nothing was tried: no row has it
      {"history", "fw.bin"},
      {"download", "fw.bin", "--device", "A", "--device", "B", "--yes", "--unit", "one"},  // one unit, two handsets
      {"download", "fw.bin", "--record", "host=db", "--no-history"},  // no outbox to send from
      {"record"},
      {"record", "init"},
      {"record", "sync", "extra"},
  };
  for (const auto& args : wrong) {
    CliOptions o;
    EXPECT_EQ(Parse(args, o), CliParse::Error) << ::testing::PrintToString(args);
  }
}

// A word the command line does not know is named, with the nearest it does.
TEST(CliOptions, AMistypedCommandOrOptionIsNamedWithTheNearestValidOne) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"dowload", "fw.bin"}, "unknown command \"dowload\"; did you mean \"download\"?"},
      {{"histroy"}, "did you mean \"history\"?"},
      {{"PORTS"}, "did you mean \"ports\"?"},
      {{"info", "--devce", "/dev/ttyUSB0"}, "unknown option --devce for info; did you mean --device?"},
      {{"download", "fw.bin", "--speed=115200", "--tpye", "font"}, "unknown option --tpye for download; did you mean --type?"},
      {{"watch", "fw.bin", "--yes", "--port-dir=/tmp"}, "did you mean --ports-dir?"},
      {{"history", "--jsno"}, "did you mean --json?"},
      {{"record", "sync", "--recrod", "host=db"}, "unknown option --recrod for sync; did you mean --record?"},
  };
  for (const auto& c : cases) {
    CliOptions o;
    std::string message;
    EXPECT_EQ(ParseCliArgs(c.args, o, message), CliParse::Error) << c.says;
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
  }
  // A missing word is no mistyped one: the parser's own words stay.
  CliOptions o;
  std::string message;
  EXPECT_EQ(ParseCliArgs({"download"}, o, message), CliParse::Error);
  EXPECT_EQ(message.find("did you mean"), std::string::npos) << message;
  EXPECT_EQ(NearestWord("tdm", {"download", "info", "todm"}), "todm");
}

TEST(CliOptions, PortsTakesJson) {
  CliOptions o;
  ASSERT_EQ(Parse({"ports", "--json"}, o), CliParse::Ok);
  EXPECT_EQ(o.command, CliCommand::Ports);
  EXPECT_TRUE(o.json);
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
      {RunEnd::HandsetRefused, kExitNoReply, "handset-refused"},
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
  for (Outcome o : {Outcome::Completed, Outcome::NoReply, Outcome::HandsetRefused, Outcome::Refused, Outcome::Declined, Outcome::PortFailed,
                    Outcome::LineBroke, Outcome::Stopped, Outcome::ReadError, Outcome::OutOfStep}) {
    EXPECT_STREQ(EndName(EndOfOutcome(o)), OutcomeName(o));
  }
}

}  // namespace
