// The station's logic with events fed in: rows that follow the ports, what Run, Watch, Stop and
// Run again start, the rows' phase, percentage, result and colour, the question once for all,
// and the session's counts.
#include <gtest/gtest.h>

#include <ctime>

#include <nlohmann/json.hpp>

#include "StationModel.h"

namespace {

using json = nlohmann::ordered_json;

std::string Ev(const std::string& device, const char* event, json body = json::object()) {
  json e = {{"v", 1}, {"t", 0.5}, {"device", device}, {"event", event}};
  for (auto& [k, v] : body.items()) e[k] = v;
  return e.dump();
}

class StationModelTest : public ::testing::Test {
 protected:
  // A handset process's whole download, as its events come.
  void Feed(uint64_t id, const std::vector<std::string>& lines) {
    for (const auto& l : lines) model.Line(id, l, "2026-12-09 09:00:00.000");
  }
  void StartedTo(uint64_t id, const std::string& dev, int block, int blocks) {
    Feed(id, {Ev(dev, "started", {{"command", "download"}, {"type", "normal"}, {"image", "fw.bin"}, {"speed", 115200}}),
              Ev(dev, "phase", {{"name", "erase"}}), Ev(dev, "phase", {{"name", "programming"}}),
              Ev(dev, "progress", {{"block", block}, {"blocks", blocks}, {"address", 0x10000}, {"bytes", block * 4096},
                                   {"bytes_per_s", 11000}, {"eta_s", 3.0}})});
  }
  void Finish(uint64_t id, const std::string& dev, const char* outcome, int exit) {
    Feed(id, {Ev(dev, "finished", {{"outcome", outcome}, {"exit", exit}, {"elapsed_s", 9.25}})});
    model.Ended(id);
  }
  std::vector<uint64_t> Started() { return model.TakeStarts(1.0); }
  const StationRow& Row(uint64_t id) { return *model.Find(id); }

  CStationModel model;
};

TEST(StationWords, OutcomesInWords) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"completed", "completed"}, {"no-reply", "no reply"}, {"line-broke", "line broke"},
      {"port", "port not opened"}, {"crashed", "crashed"}, {"some-new-end", "some new end"}};
  for (const auto& [outcome, words] : table) EXPECT_EQ(OutcomeInWords(outcome), words) << outcome;
  // Every outcome a process may end with has words of its own, short enough for a row.
  for (const auto& outcome : KnownOutcomes()) {
    EXPECT_EQ(OutcomeInWords(outcome).find('-'), std::string::npos) << outcome;
    EXPECT_LE(OutcomeInWords(outcome).size(), 16u) << outcome;
  }
}

// Four handsets: three complete, one fails and is run again, one is unplugged mid-download.
TEST_F(StationModelTest, FourHandsetsOneFailingOneUnpluggedRunAgain) {
  const std::vector<std::string> devs = {"/by-id/a", "/by-id/b", "/by-id/c", "/by-id/d"};
  std::vector<uint64_t> ids;
  for (const auto& d : devs) ids.push_back(model.PortAppeared(d, "-> /dev/ttyUSB"));
  ASSERT_EQ(model.Rows().size(), 4u);
  model.SetChecked(ids[3], false);
  ASSERT_TRUE(model.Run());
  EXPECT_EQ(Started(), (std::vector<uint64_t>{ids[0], ids[1], ids[2]}));
  EXPECT_FALSE(model.Run()) << "nothing idle and checked is left";
  model.SetChecked(ids[3], true);
  ASSERT_TRUE(model.Run());
  EXPECT_EQ(Started(), (std::vector<uint64_t>{ids[3]}));
  EXPECT_EQ(model.Counts(), (StationCounts{0, 0, 4}));

  for (size_t i = 0; i < 4; ++i) StartedTo(ids[i], devs[i], 16, 64);
  EXPECT_EQ(Row(ids[0]).Percent(), 25);
  EXPECT_EQ(Row(ids[0]).PhaseText(), "programming");
  EXPECT_EQ(Row(ids[0]).Tone(), RowTone::Running);
  EXPECT_EQ(Row(ids[0]).ResultText(), "");

  Finish(ids[0], devs[0], "completed", 0);
  Feed(ids[1], {Ev(devs[1], "log", {{"kind", "error"}, {"text", "응답이 없습니다."}})});
  Finish(ids[1], devs[1], "no-reply", 1);
  // Unplugged mid-download: its line breaks, the row says so, its process then ends.
  model.PortGone(devs[2]);
  EXPECT_EQ(Row(ids[2]).PhaseText(), "programming; unplugged");
  Finish(ids[2], devs[2], "line-broke", 5);
  Finish(ids[3], devs[3], "completed", 0);

  EXPECT_EQ(Row(ids[0]).ResultText(), "completed");
  EXPECT_EQ(Row(ids[0]).PhaseText(), "done");
  EXPECT_EQ(Row(ids[0]).Tone(), RowTone::Completed);
  EXPECT_EQ(Row(ids[0]).Percent(), 100);
  EXPECT_DOUBLE_EQ(Row(ids[0]).Elapsed(99), 9.25);
  EXPECT_EQ(Row(ids[1]).ResultText(), "failed: no reply");
  EXPECT_EQ(Row(ids[1]).Tone(), RowTone::Failed);
  // A failed row keeps where it stopped: its phase and its bar.
  EXPECT_EQ(Row(ids[1]).PhaseText(), "programming");
  EXPECT_EQ(Row(ids[1]).Percent(), 25);
  ASSERT_EQ(Row(ids[1]).log.size(), 1u);
  EXPECT_EQ(Row(ids[1]).log[0].kind, "error");
  EXPECT_EQ(Row(ids[2]).ResultText(), "failed: line broke");
  EXPECT_EQ(Row(ids[2]).PhaseText(), "unplugged");
  EXPECT_EQ(model.Counts(), (StationCounts{2, 2, 0}));

  // Run again: the failed row that is there; not the completed one, not the unplugged one.
  EXPECT_FALSE(model.RunAgain(ids[0]));
  EXPECT_FALSE(model.RunAgain(ids[2]));
  ASSERT_TRUE(model.RunAgain(ids[1]));
  EXPECT_EQ(Started(), (std::vector<uint64_t>{ids[1]}));
  EXPECT_EQ(Row(ids[1]).ResultText(), "") << "a new download starts clean";
  EXPECT_TRUE(Row(ids[1]).log.empty());
  StartedTo(ids[1], devs[1], 64, 64);
  Finish(ids[1], devs[1], "completed", 0);
  EXPECT_EQ(Row(ids[1]).Tone(), RowTone::Completed);
  EXPECT_EQ(model.Counts(), (StationCounts{3, 2, 0}));

  // The unplugged port comes back: a new handset, its row clean again.
  model.PortAppeared(devs[2], "");
  EXPECT_EQ(Row(ids[2]).PhaseText(), "ready");
  EXPECT_EQ(Row(ids[2]).ResultText(), "");
}

TEST_F(StationModelTest, RowsFollowThePorts) {
  const uint64_t a = model.PortAppeared("/p/a", "FTDI -> /dev/ttyUSB0");
  const uint64_t pty = model.AddPath("/dev/pts/7");
  EXPECT_EQ(Row(a).facts, "FTDI -> /dev/ttyUSB0");
  EXPECT_TRUE(Row(pty).byHand);
  // A port that goes without a download leaves no row; one added by path stays.
  model.PortGone("/p/a");
  EXPECT_EQ(model.Find(a), nullptr);
  model.PortGone("/dev/pts/7");
  ASSERT_NE(model.Find(pty), nullptr);
  EXPECT_EQ(Row(pty).PhaseText(), "unplugged");
  EXPECT_FALSE(model.Run()) << "a port that is not there is not started";
  // Adding a path twice is one row.
  EXPECT_EQ(model.AddPath("/dev/pts/7"), pty);
  EXPECT_EQ(model.Rows().size(), 1u);
  model.Remove(pty);
  EXPECT_TRUE(model.Rows().empty());
}

TEST_F(StationModelTest, WatchFlashesEachHandsetAsItIsPluggedIn) {
  const uint64_t a = model.PortAppeared("/p/a", "");
  model.Watch();
  EXPECT_EQ(Started(), (std::vector<uint64_t>{a})) << "a handset there already is flashed too";
  const uint64_t b = model.PortAppeared("/p/b", "");
  EXPECT_EQ(Started(), (std::vector<uint64_t>{b}));
  Finish(b, "/p/b", "completed", 0);
  // Unplugged and a new one plugged into the same port while the first still runs: it waits.
  model.PortGone("/p/a");
  model.PortAppeared("/p/a", "");
  EXPECT_TRUE(Started().empty());
  Finish(a, "/p/a", "line-broke", 5);
  EXPECT_EQ(Started(), (std::vector<uint64_t>{a}));
  // The next handset on b.
  model.PortGone("/p/b");
  model.PortAppeared("/p/b", "");
  EXPECT_EQ(Started(), (std::vector<uint64_t>{b}));
  // Stop: no new downloads; a port plugged in now is shown, not flashed.
  model.Stop();
  const uint64_t c = model.PortAppeared("/p/c", "");
  EXPECT_TRUE(Started().empty());
  EXPECT_EQ(Row(c).PhaseText(), "ready");
  EXPECT_EQ(model.Counts(), (StationCounts{1, 1, 2}));
}

TEST_F(StationModelTest, TheVersionQuestionIsAskedOnceForAll) {
  const std::string q = "S/W version is different. Downloading continue?";
  struct Case {
    bool yes;
    StationCounts after;
    size_t restarted;
  };
  for (const Case& c : {Case{true, {0, 0, 2}, 2}, Case{false, {0, 2, 0}, 0}}) {
    CStationModel m;
    const uint64_t a = m.PortAppeared("/p/a", ""), b = m.PortAppeared("/p/b", "");
    ASSERT_TRUE(m.Run());
    EXPECT_EQ(m.AnswerToPass(), StationAnswer::No) << "asked at the window, not by each process";
    m.TakeStarts(0);
    for (uint64_t id : {a, b}) {
      const std::string dev = m.Find(id)->device;
      m.Line(id, Ev(dev, "log", {{"kind", "message"}, {"text", q + " -> No (--no)"}}), "");
      m.Line(id, Ev(dev, "finished", {{"outcome", "declined"}, {"exit", 4}, {"elapsed_s", 1.0}}), "");
      m.Ended(id);
    }
    EXPECT_EQ(m.PendingQuestion(), q);
    const auto asked = m.Question();
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->id, a) << "the first handset that asked is named";
    EXPECT_EQ(asked->device, "/p/a");
    EXPECT_EQ(asked->waiting, 2);
    EXPECT_EQ(m.Find(a)->PhaseText(), "question");
    EXPECT_EQ(m.Find(a)->Tone(), RowTone::Waiting);
    EXPECT_EQ(m.Counts(), (StationCounts{0, 0, 0})) << "not a failure before the answer";
    m.AnswerQuestion(c.yes);
    EXPECT_FALSE(m.PendingQuestion());
    EXPECT_EQ(m.TakeStarts(0).size(), c.restarted);
    EXPECT_EQ(m.Counts(), c.after);
    EXPECT_EQ(m.AnswerToPass(), c.yes ? StationAnswer::Yes : StationAnswer::No);
    if (!c.yes) {
      EXPECT_EQ(m.Find(b)->ResultText(), "failed: declined");
    }
  }
}

// A log line's time is the handset's: its process's start plus the line's "t", however late it
// is read; without a known start (or a "t") the time it was read.
TEST_F(StationModelTest, LogTimesAreTheHandsetsTimes) {
  const uint64_t a = model.AddPath("/dev/pts/5");
  model.Run();
  Started();
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 9;
  tm.tm_hour = 9;
  tm.tm_min = 15;
  tm.tm_sec = 2;
  tm.tm_isdst = -1;
  const auto start = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(125);
  const auto line = [](double t, const char* text) {
    return json({{"v", 1}, {"t", t}, {"device", "/dev/pts/5"}, {"event", "log"}, {"kind", "info"}, {"text", text}}).dump();
  };
  model.Line(a, line(0.5, "before the start is known"), "read at");
  model.SetProcessWall(a, start);
  model.Line(a, line(2.25, "erase"), "read at");
  model.Line(a, line(61.0, "a minute on"), "read at");
  model.Line(a, json({{"v", 1}, {"device", "/dev/pts/5"}, {"event", "log"}, {"kind", "info"}, {"text", "no t"}}).dump(),
             "read at");
  model.Line(a, line(1e300, "no process ran that long"), "read at");
  const auto& log = Row(a).log;
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[4].stamp, "read at");
  EXPECT_EQ(log[0].stamp, "read at");
  EXPECT_EQ(log[1].stamp, "2026-12-09 09:15:04.375");
  EXPECT_EQ(log[2].stamp, "2026-12-09 09:16:03.125");
  EXPECT_EQ(log[3].stamp, "read at");
  EXPECT_EQ(log[3].text, "no t");
  // The next download starts from a start of its own.
  model.Ended(a);
  ASSERT_TRUE(model.RunAgain(a));
  Started();
  EXPECT_FALSE(Row(a).processWall);
}

TEST_F(StationModelTest, AnAnswerGivenBeforehandAsksNothing) {
  model.SetAnswer(StationAnswer::No);
  const uint64_t a = model.PortAppeared("/p/a", "");
  model.Run();
  Started();
  Finish(a, "/p/a", "declined", 4);
  EXPECT_FALSE(model.PendingQuestion());
  EXPECT_EQ(Row(a).ResultText(), "failed: declined");
  EXPECT_EQ(model.Counts(), (StationCounts{0, 1, 0}));
}

TEST_F(StationModelTest, WhatIsNoEventGoesToTheLogAndAProcessWithoutAResultFailed) {
  const uint64_t a = model.AddPath("/dev/pts/3");
  model.Run();
  Started();
  model.Line(a, "AddressSanitizer: heap-use-after-free", "t");
  ASSERT_EQ(Row(a).log.size(), 1u);
  EXPECT_NE(Row(a).log[0].text.find("not an event"), std::string::npos);
  model.Ended(a);
  EXPECT_EQ(Row(a).ResultText(), "failed: no result");
  EXPECT_EQ(Row(a).Tone(), RowTone::Failed);
  EXPECT_EQ(model.Counts(), (StationCounts{0, 1, 0}));
  EXPECT_TRUE(model.RunAgain(a));
}

}  // namespace
