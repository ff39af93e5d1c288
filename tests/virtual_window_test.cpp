// Virtual time: timers, pauses, the order of posted messages and timer expiries, busy probes
// and the journal's time stamps.
#include "support/VirtualWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kMsgA = WM_USER + 1;
constexpr uint32_t kMsgB = WM_USER + 2;
constexpr uint32_t kMsgC = WM_USER + 3;
constexpr uint32_t kMsgD = WM_USER + 4;

struct Seen {
  uint64_t timeMs;
  uint32_t message;
  uintptr_t wParam;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << "{" << s.timeMs << " ms, " << MessageName(s.message) << ", " << s.wParam << "}";
}

// A window whose handler notes what it was given and when, and runs the test's reaction.
class VirtualWindowTest : public ::testing::Test {
 protected:
  VirtualWindowTest() {
    w.SetHandler([this](const WindowMessage& m) {
      seen.push_back(Seen{w.Now(), m.message, m.wParam});
      if (const auto it = on.find(m.message); it != on.end()) it->second(m);
    });
  }
  void TearDown() override {
    EXPECT_TRUE(w.Failures().empty()) << w.JournalText();
  }
  std::vector<Seen> TimersSeen() const {
    std::vector<Seen> out;
    for (const auto& s : seen)
      if (s.message == WM_TIMER) out.push_back(s);
    return out;
  }

  CVirtualWindow w;
  std::vector<Seen> seen;
  std::map<uint32_t, std::function<void(const WindowMessage&)>> on;
};

TEST_F(VirtualWindowTest, PeriodicTimerKeepsItsSchedule) {
  w.SetTimer(1, 3000);
  EXPECT_TRUE(w.RunFor(10'000));
  EXPECT_EQ(TimersSeen(), (std::vector<Seen>{{3000, WM_TIMER, 1}, {6000, WM_TIMER, 1}, {9000, WM_TIMER, 1}}));
  EXPECT_EQ(w.Now(), 10'000u);
}

TEST_F(VirtualWindowTest, SettingAnIdAgainReplacesIt) {
  w.SetTimer(1, 3000);
  EXPECT_TRUE(w.RunFor(2000));
  w.SetTimer(1, 1000);  // new period, due from now
  EXPECT_TRUE(w.RunFor(2500));
  EXPECT_EQ(TimersSeen(), (std::vector<Seen>{{3000, WM_TIMER, 1}, {4000, WM_TIMER, 1}}));
  ASSERT_EQ(w.ArmedTimers().size(), 1u);
  EXPECT_EQ(w.ArmedTimers()[0].periodMs, 1000u);
}

TEST_F(VirtualWindowTest, KillStopsATimer) {
  w.SetTimer(0, 3000);
  w.SetTimer(2, 5000);
  on[WM_TIMER] = [&](const WindowMessage& m) { w.KillTimer(static_cast<uint32_t>(m.wParam)); };
  EXPECT_TRUE(w.RunUntilIdle(1'000'000)) << "nothing left armed";
  EXPECT_EQ(TimersSeen(), (std::vector<Seen>{{3000, WM_TIMER, 0}, {5000, WM_TIMER, 2}}));
  EXPECT_EQ(w.Now(), 5000u) << "an idle window does not run its clock on";
}

TEST_F(VirtualWindowTest, ZeroPeriodIsRaisedToTheMinimum) {
  w.SetTimer(4, 0);
  EXPECT_TRUE(w.RunFor(100));
  EXPECT_EQ(TimersSeen().size(), 100u);
  EXPECT_EQ(TimersSeen().back().timeMs, 100u);
}

TEST_F(VirtualWindowTest, EqualDueTimesFireInTheOrderTheyWereSet) {
  w.SetTimer(9, 1000);
  w.SetTimer(3, 1000);
  EXPECT_TRUE(w.RunFor(1000));
  EXPECT_EQ(TimersSeen(), (std::vector<Seen>{{1000, WM_TIMER, 9}, {1000, WM_TIMER, 3}}));
}

TEST_F(VirtualWindowTest, TimeOfMinutesPassesWithoutWaiting) {
  // Three 100000 ms erase time-outs in a row, then giving up.
  int expiries = 0;
  w.SetTimer(0, 100'000);
  on[WM_TIMER] = [&](const WindowMessage&) {
    w.KillTimer(0);
    if (++expiries < 3) w.SetTimer(0, 100'000);
  };
  EXPECT_TRUE(w.RunUntilIdle(1'000'000));
  EXPECT_EQ(expiries, 3);
  EXPECT_EQ(w.Now(), 300'000u);
}

TEST_F(VirtualWindowTest, MessagesPostedDuringAPauseWaitAndKeepTheirOrder) {
  on[kMsgA] = [&](const WindowMessage&) {
    w.PostMessage(kMsgC, 0, 0);
    w.Pause(3000);
    w.PostMessage(kMsgD, 0, 0);
  };
  w.PostMessage(kMsgA, 0, 0);
  w.PostMessage(kMsgB, 0, 0);
  EXPECT_TRUE(w.RunUntilIdle(0));
  EXPECT_EQ(seen, (std::vector<Seen>{{0, kMsgA, 0}, {3000, kMsgB, 0}, {3000, kMsgC, 0}, {3000, kMsgD, 0}}));
}

TEST_F(VirtualWindowTest, TimersDueDuringAPauseFireAfterItOnceEachInDueOrder) {
  w.SetTimer(1, 1000);
  w.SetTimer(2, 700);
  on[kMsgA] = [&](const WindowMessage&) {
    w.Pause(5000);
    w.PostMessage(kMsgB, 0, 0);
  };
  w.PostMessage(kMsgA, 0, 0);
  EXPECT_TRUE(w.RunFor(5000));
  EXPECT_EQ(seen, (std::vector<Seen>{{0, kMsgA, 0}, {5000, kMsgB, 0}, {5000, WM_TIMER, 2}, {5000, WM_TIMER, 1}}))
      << "posted messages go first; missed expiries merge";
  seen.clear();
  EXPECT_TRUE(w.RunFor(1000));
  EXPECT_EQ(seen, (std::vector<Seen>{{5600, WM_TIMER, 2}, {6000, WM_TIMER, 1}})) << "each keeps its schedule";
}

TEST_F(VirtualWindowTest, TimerKilledAfterItCameDueDoesNotFire) {
  w.SetTimer(1, 1000);
  w.SetTimer(2, 2000);
  on[kMsgA] = [&](const WindowMessage&) { w.Pause(3000); };
  on[WM_TIMER] = [&](const WindowMessage& m) {
    if (m.wParam == 1) w.KillTimer(2);
    w.KillTimer(static_cast<uint32_t>(m.wParam));
  };
  w.PostMessage(kMsgA, 0, 0);
  EXPECT_TRUE(w.RunUntilIdle(10'000));
  EXPECT_EQ(TimersSeen(), (std::vector<Seen>{{3000, WM_TIMER, 1}}));
}

TEST_F(VirtualWindowTest, TimerMessagePostedByHandIsDeliveredAfterAKill) {
  w.SetTimer(5, 1000);
  w.KillTimer(5);
  w.PostMessage(WM_TIMER, 5, 0);
  EXPECT_TRUE(w.RunUntilIdle(10'000));
  EXPECT_EQ(TimersSeen(), (std::vector<Seen>{{0, WM_TIMER, 5}}));
}

TEST_F(VirtualWindowTest, ClockJumpsOnlyWhenNothingIsQueued) {
  int chain = 0;
  on[kMsgA] = [&](const WindowMessage&) {
    if (++chain < 50) w.PostMessage(kMsgA, 0, 0);
  };
  w.SetTimer(1, 10);
  w.PostMessage(kMsgA, 0, 0);
  EXPECT_TRUE(w.RunFor(10));
  ASSERT_EQ(seen.size(), 51u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[i], (Seen{0, kMsgA, 0})) << i;
  EXPECT_EQ(seen.back(), (Seen{10, WM_TIMER, 1}));
}

TEST_F(VirtualWindowTest, PostsFromAnotherThreadArriveInOrder) {
  constexpr int kCount = 2000;
  std::atomic<bool> sending{true};
  w.AddBusyProbe([&] { return sending.load(); });
  std::vector<intptr_t> got;
  w.SetHandler([&](const WindowMessage& m) { got.push_back(m.lParam); });
  std::thread sender([&] {
    for (int i = 0; i < kCount; ++i) w.PostMessage(kMsgA, 0, i);
    sending = false;
  });
  EXPECT_TRUE(w.RunUntil([&] { return got.size() == kCount; }, 1000));
  sender.join();
  ASSERT_EQ(got.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(got[i], i);
  EXPECT_EQ(w.Now(), 0u);
}

TEST_F(VirtualWindowTest, BusyProbeHoldsTheClockUntilTheReplyIsIn) {
  // The reply timer would expire at once in virtual time; the in-flight reply must win.
  std::atomic<bool> inFlight{true};
  w.AddBusyProbe([&] { return inFlight.load(); });
  w.SetTimer(0, 3000);
  on[WM_RX_PACKET] = [&](const WindowMessage&) { w.KillTimer(0); };
  std::thread handset([&] {
    std::this_thread::sleep_for(20ms);
    w.PostMessage(WM_RX_PACKET, 0, 0);
    inFlight = false;
  });
  EXPECT_TRUE(w.RunUntilIdle(10'000));
  handset.join();
  EXPECT_EQ(seen, (std::vector<Seen>{{0, WM_RX_PACKET, 0}}));
}

TEST_F(VirtualWindowTest, PauseLetsWorkInFlightFinish) {
  std::atomic<bool> inFlight{true};
  w.AddBusyProbe([&] { return inFlight.load(); });
  std::thread worker([&] {
    std::this_thread::sleep_for(20ms);
    inFlight = false;
  });
  w.Pause(7000);
  EXPECT_FALSE(inFlight.load());
  EXPECT_EQ(w.Now(), 7000u);
  worker.join();
}

TEST(VirtualWindow, WorkThatNeverSettlesIsAFailureNotAHang) {
  CVirtualWindow w;
  int timers = 0;
  w.SetHandler([&](const WindowMessage& m) { timers += m.message == WM_TIMER; });
  w.AddBusyProbe([] { return true; });
  w.SetBusyTimeout(20ms);
  w.SetTimer(0, 3000);
  EXPECT_FALSE(w.RunFor(10'000));
  EXPECT_EQ(timers, 0);
  EXPECT_EQ(w.Now(), 0u);
  ASSERT_EQ(w.Failures().size(), 1u);
  EXPECT_NE(w.Failures()[0].find("did not settle"), std::string::npos) << w.Failures()[0];
}

TEST(VirtualWindow, RunRefusesToNestAndToSpinForever) {
  CVirtualWindow w;
  bool nested = true;
  w.SetHandler([&](const WindowMessage& m) {
    if (m.message == kMsgA) nested = w.RunFor(100);
    if (m.message == kMsgB) w.PostMessage(kMsgB, 0, 0);
  });
  w.PostMessage(kMsgA, 0, 0);
  EXPECT_TRUE(w.RunUntilIdle(0));
  EXPECT_FALSE(nested);
  EXPECT_EQ(w.Failures().size(), 1u);

  w.SetDispatchLimit(100);
  w.PostMessage(kMsgB, 0, 0);
  EXPECT_FALSE(w.RunUntilIdle(0));
  EXPECT_EQ(w.Failures().size(), 2u);
  EXPECT_EQ(w.QueuedMessages(), 1u);
}

TEST_F(VirtualWindowTest, RunUntilStopsAtThePredicateOrTheLimit) {
  w.SetTimer(1, 1000);
  EXPECT_TRUE(w.RunUntil([&] { return TimersSeen().size() == 2; }, 10'000));
  EXPECT_EQ(w.Now(), 2000u);
  EXPECT_FALSE(w.RunUntil([] { return false; }, 2500));
  EXPECT_EQ(w.Now(), 4500u);
  EXPECT_EQ(TimersSeen().size(), 4u);
  EXPECT_FALSE(w.RunUntilIdle(500)) << "a timer is still armed";
}

TEST_F(VirtualWindowTest, JournalStampsEveryEventWithItsVirtualTime) {
  w.SetTimer(1, 3000);
  on[WM_TIMER] = [&](const WindowMessage&) {
    w.KillTimer(1);
    w.BeginWaitCursor();
    w.SetCapture();
    w.Pause(2000);
    w.ReleaseCapture();
    w.EndWaitCursor();
    w.Controls().AppendRichText(1000, "\nJump", 0, true);
  };
  EXPECT_TRUE(w.RunUntilIdle(10'000));
  std::vector<std::pair<uint64_t, JournalKind>> stamps;
  for (const auto& e : w.Journal()) stamps.emplace_back(e.timeMs, e.kind);
  const std::vector<std::pair<uint64_t, JournalKind>> expected{
      {0, JournalKind::SetTimer},    {3000, JournalKind::Message},    {3000, JournalKind::KillTimer},
      {3000, JournalKind::WaitCursor}, {3000, JournalKind::Capture},  {3000, JournalKind::Pause},
      {5000, JournalKind::Capture},  {5000, JournalKind::WaitCursor}, {5000, JournalKind::Control},
  };
  EXPECT_EQ(stamps, expected) << w.JournalText();
  EXPECT_EQ(w.Journal()[1].detail, "WM_TIMER wParam=1 lParam=0");
  ASSERT_EQ(w.ControlChanges().size(), 1u);
  EXPECT_EQ(w.ControlChanges()[0].timeMs, 5000u);
  EXPECT_EQ(w.ControlChanges()[0].event.text, "\nJump");
  ASSERT_EQ(w.Pauses().size(), 1u);
  EXPECT_EQ(w.Pauses()[0].timeMs, 3000u);
  EXPECT_EQ(w.Pauses()[0].ms, 2000u);
}

TEST_F(VirtualWindowTest, WaitCursorCountsAndCaptureDoesNotNest) {
  w.BeginWaitCursor();
  w.BeginWaitCursor();
  EXPECT_EQ(w.WaitCursorDepth(), 2);
  w.EndWaitCursor();
  w.EndWaitCursor();
  w.EndWaitCursor();  // one too many: harmless, as on the platform
  EXPECT_EQ(w.WaitCursorDepth(), 0);
  w.BeginWaitCursor();
  EXPECT_EQ(w.WaitCursorDepth(), 1);
  w.SetCapture();
  w.SetCapture();
  EXPECT_TRUE(w.IsCaptured());
  w.ReleaseCapture();
  EXPECT_FALSE(w.IsCaptured());
}

}  // namespace
