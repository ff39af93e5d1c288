// A watch over a folder of links against tarvisel-sim handsets behind ptys, each plugged in by
// making its link there and unplugged by ending it (which takes its link and its line away):
// handsets one after another and at once, one unplugged mid-download, one tried again after a
// NAK storm, a link that comes back, Ctrl-C once and twice; every download's row in the record.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "EventSchema.h"
#include "HistoryDb.h"
#include "SampleImage.h"
#include "Subprocess.h"
#include "TestPrograms.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// Download-mode handsets that answer quickly: an EMERGENCY download of a small image takes a
// few seconds, most of them the engine's own pauses.
constexpr const char* kQuick = "start=download; erase-ms=100";

class WatchSim : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-watch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ports = dir + "/serial/by-id";
    fs::create_directories(ports);
    db = dir + "/history.sqlite";
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
    image = sim::SampleImage(0x8000, 0x4000, 203, 5);
    sim::WriteImage(dir + "/fw.bin", image);
  }
  void TearDown() override {
    for (auto& [name, s] : sims)
      if (s) s->Signal(SIGTERM);
    sims.clear();
    watches.clear();
    unsetenv("TARVISEL_SETTINGS");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string Link(const std::string& name) const { return ports + "/" + name; }
  // Plugged in: a handset whose link appears in the folder.
  // paced: bytes cross at the line's rate, so no reply comes sooner than its request's line time
  // (on a bare pty a quick handset's refusal can, and is then rightly not taken as its answer).
  void Plug(const std::string& name, const std::string& scenario, bool paced = false) {
    auto& s = sims[name];
    ASSERT_FALSE(s) << name << " is plugged in already";
    std::vector<std::string> args{SimProgram(), "--scenario", scenario, "--link", Link(name),
                                  "--save-flash", dir + "/" + name + ".flash",
                                  "--record", dir + "/" + name + ".record", "--flash-size", "1M"};
    if (paced) args.push_back("--pace");
    s = std::make_unique<CChild>(args, dir, "sim-" + name + std::to_string(++plugs));
    for (int i = 0; i < 500 && !fs::is_symlink(Link(name)); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::is_symlink(Link(name))) << s->Err();
  }
  // Unplugged: the handset ends, its line and its link go.
  void Unplug(const std::string& name) {
    auto& s = sims[name];
    ASSERT_TRUE(s);
    s->Signal(SIGTERM);
    EXPECT_EQ(s->Wait(20s), 0) << s->Err();
    s.reset();
  }
  bool FlashHoldsImage(const std::string& name) {
    const std::string flash = ReadWholeFile(dir + "/" + name + ".flash");
    return flash.size() >= image.size() && std::equal(image.begin() + 0x4000, image.end(), flash.begin() + 0x4000,
                                                      [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  }
  CChild& StartWatch(std::vector<std::string> more) {
    std::vector<std::string> args = {CliProgram(), "watch", dir + "/fw.bin", "--ports-dir", ports, "--type",
                                     "emergency", "--speed", "115200", "--json", "--history", db};
    args.insert(args.end(), more.begin(), more.end());
    watches.push_back(std::make_unique<CChild>(args, dir, "watch" + std::to_string(watches.size())));
    EXPECT_TRUE(SaysSoon(*watches.back(), "watching ")) << watches.back()->Err();
    return *watches.back();
  }
  static bool Says(const CChild& c, const std::string& text, std::chrono::seconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
      if (c.Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  static bool SaysSoon(const CChild& c, const std::string& text) { return Says(c, text, 60s); }
  // Each link's outcomes in the record, oldest first.
  std::map<std::string, std::vector<std::string>> Recorded() {
    std::string error;
    const auto h = CHistoryDb::Open(db, CHistoryDb::Access::Read, error);
    std::map<std::string, std::vector<std::string>> byLink;
    if (!h) return byLink;
    const auto rows = h->Rows({}, error).value_or(std::vector<DownloadRecord>{});
    for (auto r = rows.rbegin(); r != rows.rend(); ++r) byLink[r->device].push_back(r->outcome);
    return byLink;
  }
  static std::vector<std::string> Outcomes(const std::vector<DeviceStream>& downloads) {
    std::vector<std::string> outcomes;
    for (const auto& d : downloads) outcomes.push_back(d.outcome);
    return outcomes;
  }

  std::string dir, ports, db;
  std::vector<uint8_t> image;
  std::map<std::string, std::unique_ptr<CChild>> sims;
  std::vector<std::unique_ptr<CChild>> watches;
  int plugs = 0;
};

using Strings = std::vector<std::string>;

TEST_F(WatchSim, FourHandsetsOneAfterAnotherThenTwoAtOnceEachFlashedOnceAndRecorded) {
  CChild& watch = StartWatch({"--yes", "--log-dir", dir + "/logs"});
  const Strings names = {"usb-Sim_A", "usb-Sim_B", "usb-Sim_C", "usb-Sim_D", "usb-Sim_E", "usb-Sim_F"};
  for (size_t i = 0; i < 4; ++i) {
    Plug(names[i], kQuick);
    ASSERT_TRUE(SaysSoon(watch, Link(names[i]) + ": phase module")) << watch.Err();
  }
  Plug(names[4], kQuick);
  Plug(names[5], kQuick);
  ASSERT_TRUE(SaysSoon(watch, "watch: completed 6, failed 0, in progress 0")) << watch.Err();
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(30s), 0) << watch.Err();

  const WatchStreamCheck check = CheckWatchStream(watch.Out());
  EXPECT_TRUE(check.errors.empty()) << check.errors << watch.Out();
  std::map<std::string, Strings> recorded = Recorded();
  std::set<std::string> logs;
  for (const auto& f : fs::directory_iterator(dir + "/logs")) logs.insert(f.path().filename().string());
  EXPECT_EQ(logs.size(), names.size());
  for (const auto& name : names) {
    const std::string link = Link(name);
    EXPECT_EQ(check.ports.at(link), Strings{"appeared"}) << name;
    ASSERT_EQ(check.downloads.at(link).size(), 1u) << name;
    const DeviceStream& d = check.downloads.at(link)[0];
    EXPECT_EQ(d.outcome, "completed") << name;
    EXPECT_EQ(d.lastBlock, d.blocks) << name;
    EXPECT_EQ(recorded[link], Strings{"completed"}) << name;
  }
  for (const auto& name : names) Unplug(name);
  for (const auto& name : names) EXPECT_TRUE(FlashHoldsImage(name)) << name;
}

TEST_F(WatchSim, OneUnpluggedMidDownloadFailsAloneAndItsLinkComingBackIsANewHandset) {
  CChild& watch = StartWatch({"--yes", "--retry", "2"});
  Plug("usb-A", "start=download; erase-ms=60000");
  Plug("usb-B", "start=download; erase-ms=500");
  ASSERT_TRUE(SaysSoon(watch, Link("usb-A") + ": phase erase")) << watch.Err();
  Unplug("usb-A");
  ASSERT_TRUE(SaysSoon(watch, Link("usb-A") + ": result line-broke")) << watch.Err();
  ASSERT_TRUE(SaysSoon(watch, Link("usb-B") + ": result completed")) << watch.Err();
  Plug("usb-A", kQuick);
  ASSERT_TRUE(SaysSoon(watch, "watch: completed 2, failed 1, in progress 0")) << watch.Err();
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(30s), 1) << "a handset failed\n" << watch.Err();

  const WatchStreamCheck check = CheckWatchStream(watch.Out());
  EXPECT_TRUE(check.errors.empty()) << check.errors << watch.Out();
  EXPECT_EQ(check.ports.at(Link("usb-A")), (Strings{"appeared", "gone", "appeared"}));
  // Unplugged, it was not tried again: the next download is the next handset's.
  EXPECT_EQ(Outcomes(check.downloads.at(Link("usb-A"))), (Strings{"line-broke", "completed"}));
  EXPECT_EQ(Outcomes(check.downloads.at(Link("usb-B"))), Strings{"completed"});
  EXPECT_EQ(Recorded(), (std::map<std::string, Strings>{{Link("usb-A"), {"line-broke", "completed"}},
                                                        {Link("usb-B"), {"completed"}}}));
  Unplug("usb-A");
  Unplug("usb-B");
  EXPECT_TRUE(FlashHoldsImage("usb-A"));
  EXPECT_TRUE(FlashHoldsImage("usb-B"));
}

TEST_F(WatchSim, AHandsetThatDidNotAnswerANakStormIsTriedAgainAndCompletes) {
  CChild& watch = StartWatch({"--yes", "--retry", "1"});
  // The handset refuses its first ten download starts: the engine gives up on it (a NAK sends
  // the request again at once, ten times in all), the try again meets the eleventh.
  Plug("usb-N", "start=download; erase-ms=100; nak=dlstart:1-10:A1", true);
  ASSERT_TRUE(Says(watch, "watch: completed 1, failed 0, in progress 0", 90s)) << watch.Err();
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(30s), 0) << "the handset completed in the end\n" << watch.Err();
  const WatchStreamCheck check = CheckWatchStream(watch.Out());
  EXPECT_TRUE(check.errors.empty()) << check.errors << watch.Out();
  EXPECT_EQ(Outcomes(check.downloads.at(Link("usb-N"))), (Strings{"handset-refused", "completed"}));
  EXPECT_EQ(Recorded()[Link("usb-N")], (Strings{"handset-refused", "completed"}));
  Unplug("usb-N");
  EXPECT_TRUE(FlashHoldsImage("usb-N"));
}

TEST_F(WatchSim, ADeclinedVersionIsNotTriedAgain) {
  std::vector<std::string> args = {CliProgram(), "watch", dir + "/fw.bin", "--ports-dir", ports, "--no",
                                   "--retry", "3", "--json", "--history", db};
  CChild watch(args, dir, "watch-declined");
  ASSERT_TRUE(SaysSoon(watch, "watching ")) << watch.Err();
  Plug("usb-V", "rev=999");
  ASSERT_TRUE(SaysSoon(watch, "watch: completed 0, failed 1, in progress 0")) << watch.Err();
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(30s), 1) << watch.Err();
  EXPECT_EQ(Recorded()[Link("usb-V")], Strings{"declined"});
}

TEST_F(WatchSim, CtrlCOnceLetsTheRunningDownloadFinishAndStartsNoneTwiceEndsIt) {
  CChild& watch = StartWatch({"--yes"});
  Plug("usb-Long", "start=download; erase-ms=60000");
  ASSERT_TRUE(SaysSoon(watch, Link("usb-Long") + ": phase erase")) << watch.Err();
  watch.Signal(SIGINT);
  ASSERT_TRUE(SaysSoon(watch, "interrupt: no new downloads")) << watch.Err();
  Plug("usb-Late", kQuick);
  ASSERT_TRUE(SaysSoon(watch, Link("usb-Late") + ": plugged in: not flashed")) << watch.Err();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(watch.Running()) << "the running download finishes first\n" << watch.Err();
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(30s), 130) << watch.Err();
  const WatchStreamCheck check = CheckWatchStream(watch.Out());
  EXPECT_TRUE(check.errors.empty()) << check.errors << watch.Out();
  EXPECT_EQ(Outcomes(check.downloads.at(Link("usb-Long"))), Strings{"interrupted"});
  EXPECT_FALSE(check.downloads.count(Link("usb-Late")));
  EXPECT_EQ(check.ports.at(Link("usb-Late")), Strings{"appeared"});
  EXPECT_EQ(Recorded(), (std::map<std::string, Strings>{{Link("usb-Long"), {"interrupted"}}}));
}

TEST_F(WatchSim, NewOnlyLeavesThePresentAloneUntilTheyComeAgainAndMatchTakesOnlyItsAdapters) {
  Plug("usb-Old", kQuick);
  {
    CChild& watch = StartWatch({"--yes", "--new-only"});
    ASSERT_TRUE(SaysSoon(watch, Link("usb-Old") + ": present at the start: left alone")) << watch.Err();
    Plug("usb-New", kQuick);
    Unplug("usb-Old");
    Plug("usb-Old", kQuick);
    ASSERT_TRUE(SaysSoon(watch, "watch: completed 2, failed 0, in progress 0")) << watch.Err();
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(30s), 0) << watch.Err();
    EXPECT_EQ(Recorded(), (std::map<std::string, Strings>{{Link("usb-New"), {"completed"}}, {Link("usb-Old"), {"completed"}}}));
  }
  // A pty has no USB adapter behind it: with --match, nothing is flashed.
  CChild& matching = StartWatch({"--yes", "--match", "0403:6001", "--match", "1A86:7523"});
  ASSERT_TRUE(SaysSoon(matching, Link("usb-New") + ": plugged in, not matched (no USB ids known for it)"))
      << matching.Err();
  matching.Signal(SIGTERM);
  EXPECT_EQ(matching.Wait(30s), 130) << matching.Err();
  const WatchStreamCheck check = CheckWatchStream(matching.Out());
  EXPECT_TRUE(check.errors.empty()) << check.errors;
  EXPECT_EQ(check.ports.size(), 2u);
  EXPECT_TRUE(check.downloads.empty());
}

// A reader of the watch's --json that stops reading holds up no handset: each is flashed and
// recorded as it is plugged in, and SIGTERM still ends the watch.
TEST_F(WatchSim, AReaderThatStopsReadingHoldsUpNoHandsetAndSigtermStillEndsTheWatch) {
  CPipedChild watch({CliProgram(), "watch", dir + "/fw.bin", "--ports-dir", ports, "--type", "emergency", "--speed",
                     "115200", "--json", "--history", db, "--yes"},
                    dir + "/stalled.err");
  ASSERT_TRUE(watch.WaitForErr("watching ", 60s)) << watch.Err();
  const Strings names = {"usb-Sim_A", "usb-Sim_B", "usb-Sim_C"};
  for (const auto& name : names) Plug(name, kQuick);
  ASSERT_TRUE(watch.WaitForErr("watch: completed 3, failed 0, in progress 0", 60s)) << watch.Err();
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(20s), 130) << watch.Err();
  const auto recorded = Recorded();
  for (const auto& name : names) {
    EXPECT_EQ(recorded.count(Link(name)) ? recorded.at(Link(name)) : Strings{}, Strings{"completed"}) << name;
    Unplug(name);
    EXPECT_TRUE(FlashHoldsImage(name)) << name;
  }
}

TEST_F(WatchSim, WhatMustHoldBeforeAnyHandsetIsFlashed) {
  std::ofstream(dir + "/file") << "x";
  ASSERT_EQ(mkfifo((dir + "/fifo.bin").c_str(), 0600), 0);
  fs::create_directories(dir + "/folder.bin");
  Plug("usb-A", kQuick);
  const struct {
    std::vector<std::string> args;
    std::string says;
    int status;
  } cases[] = {
      {{dir + "/fw.bin", "--ports-dir", ports}, "--yes or --no", 2},
      {{dir + "/fw.bin", "--ports-dir", ports, "--yes", "--log-dir", dir + "/file/logs"}, dir + "/file/logs", 2},
      {{dir + "/fw.bin", "--ports-dir", ports, "--yes", "--match", "0403"}, "--match", 2},
      {{dir + "/fw.bin", "--ports-dir", ports, "--yes", "--retry", "-1"}, "--retry", 2},
      // Would write the font over the start of the flash.
      {{dir + "/fw.bin", "--ports-dir", ports, "--yes", "--type", "font"}, "--font-address", 2},
      // Images refused as a download refuses them, a FIFO and a device never waited on.
      {{dir + "/missing.bin", "--ports-dir", ports, "--yes"}, "cannot use the image", 3},
      {{dir + "/fifo.bin", "--ports-dir", ports, "--yes"}, "FIFO", 3},
      {{dir + "/folder.bin", "--ports-dir", ports, "--yes"}, "folder", 3},
      {{"/dev/zero", "--ports-dir", ports, "--yes"}, "device", 3},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {CliProgram(), "watch", "--history", db};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = RunProgram(args, dir, "usage", 20s);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << ::testing::PrintToString(c.args) << r.err;
  }
  EXPECT_TRUE(Recorded().empty()) << "no handset was flashed";
  Unplug("usb-A");
  const std::string received = ReadWholeFile(dir + "/usb-A.record");
  EXPECT_NE(received.find("# requests sent while a reply was owed"), std::string::npos) << received;
  EXPECT_EQ(received.find(" fcs "), std::string::npos) << "nothing was sent to the handset\n" << received;
}

}  // namespace
