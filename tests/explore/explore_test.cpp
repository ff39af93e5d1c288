// The explorer's own parts: schedule lines, the generators and the checks of a run.
#include <gtest/gtest.h>

#include <memory>
#include <map>
#include <set>
#include <sstream>

#include "Scenario.h"

#include "explore/Generate.h"
#include "explore/Runner.h"

namespace explore {
namespace {

TEST(ExploreSchedule, ALinePrintsAndReadsBackTheSameSchedule) {
  for (uint64_t i = 0; i < 200; ++i) {
    const Schedule s = Swarm(42, i);
    std::string error;
    const auto back = ParseLine(s.Line(), error);
    ASSERT_TRUE(back) << s.Line() << ": " << error;
    EXPECT_EQ(back->Line(), s.Line());
    EXPECT_EQ(back->faults, s.faults);
    EXPECT_EQ(back->live, s.live);
  }
}

TEST(ExploreSchedule, BadLinesAreRefusedWithAReason) {
  const char* bad[] = {"type=emergency", "type=slow | rev=1", "speed=9600 | rev=1", "blocks=0 | rev=1",
                       "blocks=x | rev=1", "live=2 | rev=1", "colour=red | rev=1"};
  for (const char* line : bad) {
    std::string error;
    EXPECT_FALSE(ParseLine(line, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(ExploreSchedule, TheScenarioPartIsWhatFollowsTheBar) {
  EXPECT_EQ(ScenarioOfLine("type=font blocks=16 | rev=1; silent=block:2 "), "rev=1; silent=block:2");
  EXPECT_EQ(ScenarioOfLine("rev=1"), "rev=1");
}

TEST(ExploreGenerate, SwarmSchedulesAreDeterministicVariedAndValid) {
  std::set<std::string> lines;
  std::set<int> types;
  int live = 0;
  for (uint64_t i = 0; i < 500; ++i) {
    const Schedule s = Swarm(7, i);
    EXPECT_EQ(Swarm(7, i).Line(), s.Line());
    sim::CScenario scenario;
    std::string error;
    EXPECT_TRUE(scenario.Parse(s.Scenario(), error)) << s.Line() << ": " << error;
    lines.insert(s.Line());
    types.insert(static_cast<int>(s.config.type));
    live += s.live;
  }
  EXPECT_GT(lines.size(), 490u);
  EXPECT_EQ(types.size(), 5u);
  EXPECT_GT(live, 100);  // liveness is checked often enough to matter
  EXPECT_NE(Swarm(7, 0).Line(), Swarm(8, 0).Line());
}

// However many delay and stall rules fall on one send, its reply is late by no more than the
// adversary allows: three of its periods less 0.5 s (a block's, a set-up request's: 3 s).
TEST(ExploreGenerate, DelaysAndStallsOfOneSendAddUpToWithinItsBound) {
  for (uint64_t i = 0; i < 3000; ++i) {
    const Schedule s = Swarm(11, i);
    std::map<std::string, uint64_t> late;  // "kind:n" -> ms
    uint64_t writeMs = 0;                   // every block's
    std::stringstream items(s.faults);
    for (std::string item; std::getline(items, item, ';');) {
      item.erase(0, item.find_first_not_of(' '));
      if (item.rfind("write-ms=", 0) == 0) writeMs = std::stoull(item.substr(9));
      const bool delay = item.rfind("delay=", 0) == 0, stall = item.rfind("stall=", 0) == 0;
      if (!delay && !stall) continue;
      const std::string body = item.substr(6);  // KIND:LIST:MS
      const std::string kind = body.substr(0, body.find(':'));
      if (kind != "block" && kind != "dlstart" && kind != "baud" && kind != "jump") continue;  // periods of 3 s
      const std::string list = body.substr(kind.size() + 1, body.rfind(':') - kind.size() - 1);
      const uint64_t ms = std::stoull(body.substr(body.rfind(':') + 1));
      std::stringstream ns(list);
      for (std::string n; std::getline(ns, n, ',');) {
        late[kind + ":" + n] += ms;
        EXPECT_LE(late[kind + ":" + n], 8500u) << s.Line();
      }
    }
    for (const auto& [where, ms] : late) {
      if (where.rfind("block:", 0) == 0) {
        EXPECT_LE(ms + writeMs, 8500u) << s.Line();
      }
    }
  }
}

TEST(ExploreGenerate, JunkNeverHoldsAFramePassingItsCheck) {
  EXPECT_TRUE(HoldsValidFrame({0x7E, 0x02, 0x6A, 0xD3, 0x7E}));   // an ACK
  EXPECT_TRUE(HoldsValidFrame({0x11, 0x7E, 0x02, 0x6A, 0xD3, 0x7E}));  // after noise that a flag ended
  EXPECT_FALSE(HoldsValidFrame({0x11, 0x02, 0x6A, 0xD3, 0x7E}));  // noise that runs into it
  EXPECT_TRUE(HoldsValidFrame({0x7E, 0x2A, 0x20, 0x7D, 0x5E, 0x7E}));  // escapes undone first
  EXPECT_FALSE(HoldsValidFrame({0x7E, 0x02, 0x6A, 0xD2, 0x7E}));  // damaged
  EXPECT_FALSE(HoldsValidFrame({0x02, 0x6A, 0xD3}));              // never closed
}

TEST(ExploreGenerate, TheExhaustiveSearchCoversEveryConfigAndEachPairOnce) {
  const CExhaustive all(1);
  const uint64_t configs = 2 * AllConfigs(1).size();  // straight on the line and through an adapter
  std::set<std::string> heads;
  for (uint64_t i = 0; i < configs; ++i) heads.insert(all.At(i)->Line().substr(0, all.At(i)->Line().find(" |")));
  EXPECT_EQ(heads.size(), AllConfigs(1).size());
  // The first config's turns: each single fault, then each pair of them, once.
  const std::vector<Fault> alphabet = Alphabet(all.At(0)->config);
  const uint64_t a = alphabet.size();
  std::set<std::string> seen;
  for (uint64_t k = 0; k < a + a * (a - 1) / 2; ++k) {
    const auto s = all.At(k * configs);
    ASSERT_TRUE(s);
    EXPECT_TRUE(seen.insert(s->faults).second) << s->faults;
    EXPECT_EQ(s->faults.find("; ") == std::string::npos, k < a) << k;
  }
  EXPECT_FALSE(all.At(all.Size()));
}

class ExploreRun : public ::testing::Test {
 protected:
  static Result Run(const std::string& line) {
    std::string error;
    const auto s = ParseLine(line, error);
    EXPECT_TRUE(s) << error;
    return s ? runner->Run(*s) : Result{};
  }
  static void SetUpTestSuite() { runner = std::make_unique<CRunner>(); }
  static void TearDownTestSuite() { runner.reset(); }
  static std::unique_ptr<CRunner> runner;  // one settings folder for the suite
};
std::unique_ptr<CRunner> ExploreRun::runner;

TEST_F(ExploreRun, CleanDownloadsOfEveryTypePass) {
  for (const char* type : {"normal", "emergency", "font", "change-emergency", "change-normal"}) {
    const Result r = Run(std::string("type=") + type + " speed=115200 variant=crc30 blocks=2 live=1 | rev=1");
    EXPECT_FALSE(r.failed) << type << ": " << r.why;
    EXPECT_EQ(r.outcome, Outcome::Completed) << type;
  }
}

TEST_F(ExploreRun, AFalseSuccessIsCaught) {
  // Beyond the adversary, so no engine can tell: a well-formed ACK a second after block 1's, when
  // block 2 has crossed the line and was lost.
  const Result r = Run("type=emergency speed=115200 variant=crc30 blocks=3 live=0 | rev=1; erase-ms=200; "
                       "start=download; extra=block:1:02:1000; silent=block:2");
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_TRUE(r.failed);
  EXPECT_TRUE(r.promise) << "a false success breaks the promise itself";
  EXPECT_NE(r.why.find("flash differs from the image from block 1"), std::string::npos) << r.why;
}

TEST_F(ExploreRun, ARequestTheCableForgedIsToldApartFromTheEnginesFault) {
  // Bit errors changed a block write and its FCS-16 still held: the handset wrote what the host
  // never sent, and no host on this protocol can tell.
  const Result r = Run("type=change-emergency speed=115200 variant=crc30 blocks=2 live=0 | rev=1; erase-ms=200; "
                       "flash-fill=5A; start=download; badcrc=copy:4,5; badcrc=block:5; "
                       "junk=copy:4:026AAAF17E7E7E7D7F:825; speed=copy:2,5:57600; speed=block:6:57600; "
                       "chatter=block:6:353; adapter=30:128; ber=3e-5:842589");
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_TRUE(r.outside) << r.why;
  EXPECT_FALSE(r.failed);
  EXPECT_NE(r.why.find("flash differs from the image"), std::string::npos) << r.why;
  EXPECT_NE(r.why.find("forged 1 request"), std::string::npos) << r.why;
  // The same false success without a forged frame is the engine's.
  const Result own = Run("type=emergency speed=115200 variant=crc30 blocks=3 live=0 | rev=1; erase-ms=200; "
                         "start=download; extra=block:1:02:1000; silent=block:2; ber=1e-9:1");
  EXPECT_TRUE(own.failed && own.promise && !own.outside) << own.why;
  EXPECT_NE(own.why.find("flash differs from the image from block 1"), std::string::npos) << own.why;
}

TEST_F(ExploreRun, ARequestSentWhileJunkPassedForAHandsetWithAnotherCheckIsExcused) {
  // A damaged ACK twice just before the first download-mode answer: taken for a handset whose
  // replies carry another check, and the first of them for the answer, so the next set-up
  // request went while the real one was owed; the real one then took the check back.
  const Result r = Run("type=font speed=115200 variant=crc30 blocks=16 live=0 | rev=1; erase-ms=200; flash-fill=5A; "
                       "nak=version:4,5:13; badcrc=block:5,8; junk=dlstart:1,4:026BD27E026BD27E:436; host-buffer=4096");
  EXPECT_TRUE(r.otherCheck);
  EXPECT_FALSE(r.failed) << r.why;
  EXPECT_EQ(r.outcome, Outcome::Completed);
}

TEST_F(ExploreRun, LiveSwarmSchedulesComplete) {
  // What "live" promises is what the engine does: a late reply delays the answers to the sends
  // queued behind it (the handset answers in order), and the version's second expiry changes
  // the speed, so a version reply later than its period is not live.
#ifdef TARVISEL_EXPLORE_SHALLOW
  constexpr uint64_t kSchedules = 1000;
#else
  constexpr uint64_t kSchedules = 3000;
#endif
  int live = 0;
  for (uint64_t i = 0; i < kSchedules; ++i) {
    const Schedule s = Swarm(5, i);
    if (!s.live) continue;
    ++live;
    const Result r = runner->Run(s);
    EXPECT_EQ(r.outcome, Outcome::Completed) << s.Line() << "\n" << r.why;
  }
  EXPECT_GT(live, static_cast<int>(kSchedules / 5));
}

TEST_F(ExploreRun, ALiveScheduleThatFailsIsCaught) {
  const Result r = Run("type=emergency speed=57600 variant=crc30 blocks=1 live=1 | rev=1; start=download; "
                       "silent=block:*");
  EXPECT_TRUE(r.ended);
  EXPECT_NE(r.outcome, Outcome::Completed);
  EXPECT_NE(r.why.find("promises a completed download"), std::string::npos) << r.why;
  EXPECT_FALSE(r.promise) << "liveness, not the promise";
  // The same schedule not promised: a clear failure is all it must be.
  EXPECT_FALSE(Run("type=emergency speed=57600 variant=crc30 blocks=1 live=0 | rev=1; start=download; "
                   "silent=block:*")
                   .failed);
}

}  // namespace
}  // namespace explore
