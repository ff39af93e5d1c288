// What a station publishes of a handset from the status it keeps: the phase while a download
// runs, the percentage programmed, the outcome once it ended; nothing without a record.
#include <gtest/gtest.h>

#include "LivePorts.h"

namespace {

TEST(LivePorts, TheStateOfAPortFollowsItsHandset) {
  HandsetStatus s;
  s.device = "/dev/ttyUSB3";
  const struct {
    const char* what;
    std::function<void(HandsetStatus&)> change;
    bool present;
    LivePort expected;
  } steps[] = {
      {"not started", [](HandsetStatus&) {}, true, {"/dev/ttyUSB3", true, "", std::nullopt, "", ""}},
      {"started, no phase yet", [](HandsetStatus& h) { h.started = true; }, true,
       {"/dev/ttyUSB3", true, "starting", std::nullopt, "", ""}},
      {"erase", [](HandsetStatus& h) { h.phase = "erase"; }, true, {"/dev/ttyUSB3", true, "erase", std::nullopt, "", ""}},
      {"programming, no block yet", [](HandsetStatus& h) { h.phase = "programming"; }, true,
       {"/dev/ttyUSB3", true, "programming", std::nullopt, "", ""}},
      {"programming, 30 of 120",
       [](HandsetStatus& h) { h.progress = BlockProgress{30, 120, 0, 0}; }, true,
       {"/dev/ttyUSB3", true, "programming", 25.0, "", ""}},
      {"jump keeps no percentage", [](HandsetStatus& h) { h.phase = "jump"; }, true,
       {"/dev/ttyUSB3", true, "jump", std::nullopt, "", ""}},
      {"finished", [](HandsetStatus& h) { h.outcome = "line-broke"; }, true,
       {"/dev/ttyUSB3", true, "", std::nullopt, "", "line-broke"}},
      {"unplugged after", [](HandsetStatus&) {}, false, {"/dev/ttyUSB3", false, "", std::nullopt, "", "line-broke"}},
  };
  for (const auto& step : steps) {
    step.change(s);
    EXPECT_EQ(LivePortOf(s, step.present), step.expected) << step.what;
  }
}

TEST(LivePorts, NothingIsPublishedWithoutARecordOrForCommandsThatWriteNone) {
  const struct {
    CliCommand command;
    bool noHistory;
    bool active;
  } cases[] = {{CliCommand::Download, false, true},
               {CliCommand::Watch, false, true},
               {CliCommand::Download, true, false},
               {CliCommand::Watch, true, false},
               {CliCommand::Info, false, false},
               {CliCommand::ToDm, false, false}};
  for (const auto& c : cases) {
    CliOptions o;
    o.command = c.command;
    o.noHistory = c.noHistory;
    o.historyFile = "/nonexistent-folder/never-written.sqlite";
    EXPECT_EQ(CLivePorts(o).Active(), c.active) << static_cast<int>(c.command) << " " << c.noHistory;
  }
}

}  // namespace
