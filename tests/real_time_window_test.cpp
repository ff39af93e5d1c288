// The real-time window: its loop delivers timers and posts from other threads, posted
// messages go before due timers, Quit ends the loop, and the modal questions have safe
// defaults. Small real delays only; nothing here measures speed.
#include "platform/RealTimeWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "DlgFont.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kMsgA = WM_USER + 1;
constexpr uint32_t kMsgDone = WM_USER + 9;

TEST(RealTimeWindow, DeliversATimerNotBeforeItIsDue) {
  CRealTimeWindow w;
  std::vector<uintptr_t> timers;
  uint64_t firedAt = 0;
  w.SetHandler([&](const WindowMessage& m) {
    if (m.message != WM_TIMER) return;
    timers.push_back(m.wParam);
    firedAt = w.ClockMs();
    w.KillTimer(static_cast<uint32_t>(m.wParam));
  });
  const uint64_t setAt = w.ClockMs();
  w.SetTimer(7, 30);
  EXPECT_TRUE(w.Run([&] { return !timers.empty(); }));
  EXPECT_EQ(timers, std::vector<uintptr_t>{7});
  EXPECT_GE(firedAt - setAt, 30u);
  EXPECT_TRUE(w.ArmedTimers().empty());
}

TEST(RealTimeWindow, PostsFromAnotherThreadArriveInOrder) {
  constexpr int kCount = 500;
  CRealTimeWindow w;
  std::vector<intptr_t> got;
  w.SetHandler([&](const WindowMessage& m) { got.push_back(m.lParam); });
  std::thread sender([&] {
    for (int i = 0; i < kCount; ++i) {
      w.PostMessage(kMsgA, 0, i);
      if (i % 100 == 0) std::this_thread::sleep_for(1ms);  // let the loop go to sleep now and then
    }
  });
  EXPECT_TRUE(w.Run([&] { return got.size() == kCount; }));
  sender.join();
  ASSERT_EQ(got.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(got[i], i);
}

TEST(RealTimeWindow, KilledTimerNeverFires) {
  CRealTimeWindow w;
  int timers = 0;
  bool done = false;
  w.SetHandler([&](const WindowMessage& m) {
    timers += m.message == WM_TIMER;
    done = done || m.message == kMsgDone;
  });
  w.SetTimer(1, 10);
  w.KillTimer(1);
  std::thread later([&] {
    std::this_thread::sleep_for(50ms);
    w.PostMessage(kMsgDone, 0, 0);
  });
  EXPECT_TRUE(w.Run([&] { return done; }));
  later.join();
  EXPECT_EQ(timers, 0);
}

TEST(RealTimeWindow, PostedMessagesGoBeforeTimersThatCameDueDuringAPause) {
  CRealTimeWindow w;
  std::vector<uint32_t> order;
  w.SetHandler([&](const WindowMessage& m) {
    order.push_back(m.message);
    if (m.message == WM_TIMER) w.KillTimer(static_cast<uint32_t>(m.wParam));
  });
  w.SetTimer(2, 10);
  w.PostMessage(kMsgA, 0, 0);
  w.Pause(40);  // the timer comes due; the message waits
  w.PostMessage(kMsgDone, 0, 0);
  EXPECT_TRUE(w.Run([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<uint32_t>{kMsgA, kMsgDone, WM_TIMER}));
}

TEST(RealTimeWindow, QuitEndsRunFromAnotherThread) {
  CRealTimeWindow w;
  w.SetTimer(1, 60'000);  // the loop sleeps towards a far timer
  std::thread quitter([&] {
    std::this_thread::sleep_for(20ms);
    w.Quit();
  });
  EXPECT_FALSE(w.Run([] { return false; }));
  quitter.join();
}

TEST(RealTimeWindow, QuitBeforeRunEndsTheNextRunOnly) {
  CRealTimeWindow w;
  int handled = 0;
  w.SetHandler([&](const WindowMessage&) { ++handled; });
  w.Quit();
  w.PostMessage(kMsgA, 0, 0);
  EXPECT_FALSE(w.Run([] { return false; }));
  EXPECT_EQ(handled, 0);
  EXPECT_TRUE(w.Run([&] { return handled == 1; }));
}

TEST(RealTimeWindow, RunChecksDoneFirstAndDoesNotNest) {
  CRealTimeWindow w;
  EXPECT_TRUE(w.Run([] { return true; }));
  bool nested = true;
  w.SetHandler([&](const WindowMessage&) { nested = w.Run([] { return true; }); });
  w.PostMessage(kMsgA, 0, 0);
  int runs = 0;
  EXPECT_TRUE(w.Run([&] { return runs++ == 1; }));
  EXPECT_FALSE(nested);
}

TEST(RealTimeWindow, ModalQuestionsHaveSafeDefaults) {
  CRealTimeWindow w;
  EXPECT_EQ(w.MessageBox("Go on?", "", MB_YESNO), IDNO);
  EXPECT_EQ(w.MessageBox("Downloading completed", "", MB_OK), IDOK);
  EXPECT_EQ(w.FileOpenDialog({"bin", "C:\\*.bin", ""}), std::nullopt);
  CDlgFont dlg;
  EXPECT_EQ(w.RunFontDialog(dlg), IDCANCEL);
  ASSERT_EQ(w.MessageBoxes().size(), 2u);
  EXPECT_EQ(w.MessageBoxes()[0].text, "Go on?");
  EXPECT_EQ(w.MessageBoxes()[0].answer, IDNO);
}

TEST(RealTimeWindow, ModalQuestionsGoToTheFrontEnd) {
  CRealTimeWindow w;
  w.SetMessageBoxHandler([](const std::string&, const std::string&, unsigned) {
    return IDYES;  // even to a notice, which cannot say it
  });
  w.SetFileDialogHandler([](const FileOpenRequest& r) { return std::optional<std::string>("/fw/a." + r.defaultExtension); });
  w.SetFontDialogHandler([](CDlgFont&) { return IDOK; });
  EXPECT_EQ(w.MessageBox("Go on?", "", MB_YESNO), IDYES);
  EXPECT_EQ(w.MessageBox("Downloading completed", "", MB_OK), IDOK);
  EXPECT_EQ(w.FileOpenDialog({"bin", "", ""}), std::optional<std::string>("/fw/a.bin"));
  CDlgFont dlg;
  EXPECT_EQ(w.RunFontDialog(dlg), IDOK);
  EXPECT_EQ(w.MessageBoxes()[1].answer, IDOK);
}

}  // namespace
