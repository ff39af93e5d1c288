// The runner over real processes and pipes: a stand-in for tarvisel-cli (a shell script that
// writes a handset's events for its --device) completes, fails or crashes, and the folder of
// links is followed. The runs against simulated handsets are the window's (tests/qt).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "StationRunner.h"
#include "StationToday.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// $1 download, $2 image, $3 --device, $4 the device; the rest are checked by the answer case.
constexpr const char* kFakeCli = R"(#!/bin/sh
dev="$4"
ev() { printf '{"v":1,"t":0.1,"device":"%s","event":%s}\n' "$dev" "$1"; }
echo "$@" >> "$(dirname "$0")/args"
ev '"started","command":"download","type":"normal","image":"fw.bin","speed":115200'
case "$dev" in
  *ok*) ev '"progress","block":8,"blocks":8,"address":4096,"bytes":32768,"bytes_per_s":1000,"eta_s":0'
        ev '"finished","outcome":"completed","exit":0,"elapsed_s":0.2' ;;
  *fail*) ev '"log","kind":"error","text":"no answer"'
          ev '"finished","outcome":"no-reply","exit":1,"elapsed_s":0.3' ; exit 1 ;;
  *crash*) echo "last words" >&2 ; kill -SEGV $$ ;;
esac
)";

class StationRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-station-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::create_directories(dir + "/by-id");
    cli = dir + "/fake-cli";
    std::ofstream(cli) << kFakeCli;
    fs::permissions(cli, fs::perms::owner_all);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // Pumps until nothing runs or pends (5 s at most).
  void Settle(CStationRunner& runner) {
    for (int i = 0; i < 500; ++i) {
      runner.Pump();
      if (!runner.AnyRunning()) return;
      std::this_thread::sleep_for(10ms);
    }
    FAIL() << "the handset processes did not end";
  }
  std::string dir, cli;
};

TEST_F(StationRunnerTest, EachHandsetInAProcessOfItsOwnCompletedFailedCrashed) {
  StationRunnerSetup setup{cli, dir + "/by-id", dir + "/history.sqlite", false};
  CStationRunner runner(setup, nullptr);
  std::string error;
  ASSERT_TRUE(runner.Start(error)) << error;
  runner.SetImage(dir + "/fw.bin");
  // Links in the folder become rows as they appear; a path is added by hand.
  fs::create_symlink("/dev/null", dir + "/by-id/usb-ok-port0");
  fs::create_symlink("/dev/null", dir + "/by-id/usb-fail-port0");
  for (int i = 0; i < 100 && runner.Model().Rows().size() < 2; ++i) {
    runner.Pump();
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(runner.Model().Rows().size(), 2u);
  EXPECT_EQ(runner.Model().Rows()[0].facts, "/dev/null");
  const uint64_t crash = runner.AddPath(dir + "/crash");
  ASSERT_TRUE(runner.Model().Run());
  runner.Pump();
  EXPECT_EQ(runner.Model().Counts().running, 3);
  Settle(runner);

  const auto& m = runner.Model();
  const StationRow* ok = m.FindDevice(dir + "/by-id/usb-ok-port0");
  const StationRow* fail = m.FindDevice(dir + "/by-id/usb-fail-port0");
  ASSERT_TRUE(ok && fail);
  EXPECT_EQ(ok->ResultText(), "completed");
  EXPECT_EQ(ok->Percent(), 100);
  EXPECT_EQ(fail->ResultText(), "failed: no reply");
  ASSERT_FALSE(fail->log.empty());
  EXPECT_EQ(fail->log[0].text, "no answer");
  EXPECT_EQ(m.Find(crash)->ResultText(), "failed: crashed");
  bool lastWords = false;
  for (const auto& l : m.Find(crash)->log) lastWords |= l.text.find("last words") != std::string::npos;
  EXPECT_TRUE(lastWords);
  EXPECT_EQ(m.Counts(), (StationCounts{1, 2, 0}));
  // The crashed handset's row is the runner's to record; the others' are their processes'.
  const auto today = TodayInRecord(dir + "/history.sqlite", std::chrono::system_clock::now());
  ASSERT_TRUE(today);
  EXPECT_EQ(*today, (TodayCounts{1, 0}));
  EXPECT_EQ(TodayText(*today), "today in the record: 1 download, 0 completed, 1 failed");
  EXPECT_FALSE(TodayInRecord(dir + "/none.sqlite", std::chrono::system_clock::now()));

  // Unplugged: the row of a port that had a download stays, marked.
  fs::remove(dir + "/by-id/usb-ok-port0");
  for (int i = 0; i < 100 && m.FindDevice(dir + "/by-id/usb-ok-port0")->present; ++i) {
    runner.Pump();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(m.FindDevice(dir + "/by-id/usb-ok-port0")->PhaseText(), "unplugged");
}

TEST_F(StationRunnerTest, WatchFlashesEachHandsetAsItsLinkAppears) {
  CStationRunner runner({cli, dir + "/by-id", "", true}, nullptr);
  std::string error;
  ASSERT_TRUE(runner.Start(error)) << error;
  runner.SetImage(dir + "/fw.bin");
  runner.Model().Watch();
  auto pumpUntil = [&](int completed) {
    for (int i = 0; i < 500 && runner.Model().Counts().completed < completed; ++i) {
      runner.Pump();
      std::this_thread::sleep_for(10ms);
    }
    return runner.Model().Counts().completed;
  };
  const std::string link = dir + "/by-id/usb-ok-port1";
  fs::create_symlink("/dev/null", link);
  EXPECT_EQ(pumpUntil(1), 1);
  // The next handset on the same port: its link goes and comes back.
  fs::remove(link);
  runner.Pump();
  fs::create_symlink("/dev/null", link);
  EXPECT_EQ(pumpUntil(2), 2);
  EXPECT_EQ(runner.Model().Rows().size(), 1u);
  // Stopped: a handset plugged in now is shown, not flashed.
  runner.Stop();
  fs::create_symlink("/dev/null", dir + "/by-id/usb-ok-port2");
  for (int i = 0; i < 20; ++i) {
    runner.Pump();
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(runner.Model().Rows().size(), 2u);
  EXPECT_FALSE(runner.AnyRunning());
  EXPECT_EQ(runner.Model().Counts(), (StationCounts{2, 0, 0}));
}

TEST_F(StationRunnerTest, TheAnswerAndTheChoicesArePassedToEveryHandset) {
  CStationRunner runner({cli, "", "", true}, nullptr);
  runner.SetImage("/img/fw.bin");
  runner.SetType(1);
  runner.SetSpeedIndex(0);
  const auto before = runner.CommandFor("/dev/ttyUSB0");
  const std::vector<std::string> head = {cli, "download", "/img/fw.bin", "--device", "/dev/ttyUSB0", "--json", "--quiet"};
  ASSERT_GE(before.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), before.begin()));
  auto has = [](const std::vector<std::string>& args, const std::string& a, const std::string& b = "") {
    for (size_t i = 0; i < args.size(); ++i)
      if (args[i] == a && (b.empty() || (i + 1 < args.size() && args[i + 1] == b))) return true;
    return false;
  };
  EXPECT_TRUE(has(before, "--type", "emergency"));
  EXPECT_TRUE(has(before, "--speed", "57600"));
  EXPECT_TRUE(has(before, "--no"));
  EXPECT_TRUE(has(before, "--no-history"));
  runner.Model().SetAnswer(StationAnswer::Yes);
  EXPECT_TRUE(has(runner.CommandFor("/dev/ttyUSB0"), "--yes"));
}

// The foot of the window counts the handsets' downloads; a port that did not open and an
// image refused are the station's set-up, a question answered No the technician's stop.
TEST(StationToday, SetUpErrorsAndStopsAreCountedApartFromFailedDownloads) {
  char tmpl[] = "/tmp/tarvisel-today-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, path = dir + "/history.sqlite";
  const auto now = std::chrono::system_clock::now();
  std::string error;
  {
    auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
    ASSERT_TRUE(db) << error;
    for (const char* outcome : {"completed", "completed", "no-reply", "port", "refused", "declined"}) {
      DownloadRecord r;
      r.start = r.end = IsoUtc(now);
      r.device = "/dev/ttyUSB0";
      r.outcome = outcome;
      ASSERT_TRUE(db->Append(r, error)) << error;
    }
  }
  const auto today = TodayInRecord(path, now);
  fs::remove_all(dir);
  ASSERT_TRUE(today);
  EXPECT_EQ(*today, (TodayCounts{4, 2, 1, 2}));
  EXPECT_EQ(TodayText(*today), "today in the record: 4 downloads, 2 completed, 1 failed, 1 stopped; 2 set-up errors");
}

}  // namespace

namespace {

// The units scanned at the window: to the row chosen, else the first one waiting, else the
// next that starts; each goes on its download's command line, and leaves with its handset.
TEST_F(StationRunnerTest, ScannedUnitsGoToTheRowChosenOrTheNextWaitingAndLeaveWithTheHandset) {
  CStationRunner runner({cli, dir + "/by-id", "", true, "host=db.line", "line-5"}, nullptr);
  std::string error;
  ASSERT_TRUE(runner.Start(error)) << error;
  runner.SetImage(dir + "/fw.bin");
  const uint64_t a = runner.AddPath(dir + "/ok-a");
  const uint64_t b = runner.AddPath(dir + "/ok-b");
  const uint64_t c = runner.AddPath(dir + "/ok-c");
  EXPECT_EQ(runner.GiveUnit("SN-1", std::nullopt), a) << "the first row waiting";
  EXPECT_EQ(runner.GiveUnit("SN-3", c), c) << "the row chosen";
  EXPECT_EQ(runner.GiveUnit("SN-2", std::nullopt), b) << "the next waiting, past those that have one";
  EXPECT_EQ(runner.GiveUnit("SN-9", std::nullopt), std::nullopt) << "none waits: it waits for the next start";
  EXPECT_EQ(runner.UnitsWaiting(), 1u);
  EXPECT_EQ(runner.GiveUnit("", std::nullopt), std::nullopt);
  const std::string d = dir + "/by-id/ok-d";
  fs::create_symlink("/dev/null", d);
  for (int i = 0; i < 100 && !runner.Model().FindDevice(d); ++i) {
    runner.Pump();
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(runner.Model().FindDevice(d));
  ASSERT_TRUE(runner.Model().Run());
  runner.Pump();
  Settle(runner);
  const uint64_t dId = runner.Model().FindDevice(d)->id;
  EXPECT_EQ(runner.UnitOf(dId), "SN-9");
  EXPECT_EQ(runner.UnitsWaiting(), 0u);
  // Each process's command line: its unit, the record and the station's name.
  std::ifstream args(dir + "/args");
  std::map<std::string, std::string> unitOf;
  for (std::string line; std::getline(args, line);) {
    EXPECT_NE(line.find("--record host=db.line"), std::string::npos) << line;
    EXPECT_NE(line.find("--station-name line-5"), std::string::npos) << line;
    const size_t at = line.find("--unit ");
    const std::string device = line.substr(line.find("--device ") + 9, line.find(' ', line.find("--device ") + 9) - line.find("--device ") - 9);
    unitOf[fs::path(device).filename().string()] = at == std::string::npos ? "" : line.substr(at + 7);
  }
  const std::map<std::string, std::string> expected = {{"ok-a", "SN-1"}, {"ok-b", "SN-2"}, {"ok-c", "SN-3"}, {"ok-d", "SN-9"}};
  EXPECT_EQ(unitOf, expected);
  // Unplugged: the unit goes with the handset; the next one needs a scan of its own.
  fs::remove(d);
  for (int i = 0; i < 100 && !runner.UnitOf(dId).empty(); ++i) {
    runner.Pump();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(runner.UnitOf(dId), "");
  EXPECT_EQ(runner.UnitOf(a), "SN-1");
}

}  // namespace
