// The receive thread over the in-memory device: gate, bursts, breaks, holding during a speed
// change and stopping.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/Bytes.h"
#include "support/LinkFixture.h"
#include "support/RxThreadRunner.h"
#include "support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;

class ReceiveThreadTest : public LinkFixture {
 protected:
  void TearDown() override {
    if (runner.Thread()) {
      EXPECT_TRUE(runner.Stop(comm.get()));
    }
    LinkFixture::TearDown();
  }
  void StartLink() {
    OpenLink();
    comm->m_bDloadFraming = 1;
    runner.Start(&target, comm.get(), &textQ);
  }
  // Waits until the thread is inside its loop with the full event mask set.
  void WaitUntilWaiting() {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (dev->EventMask() != (EV_RXCHAR | EV_RXFLAG | EV_BREAK | EV_ERR) &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
  }
  CRxThreadRunner runner;
};

TEST_F(ReceiveThreadTest, AReplyIsReadParsedAndPosted) {
  StartLink();
  WaitUntilWaiting();
  dev->Feed(Hex("02 6A D3 7E"));
  ASSERT_TRUE(target.WaitFor(WM_RX_PACKET, 1, 5s));
  auto msgs = target.Messages();
  EXPECT_EQ(ToHex(msgs.back().packet.bytes.data(), msgs.back().packet.size), "02 6A D3");
  EXPECT_TRUE(g_bRxAlive);
}

TEST_F(ReceiveThreadTest, OnlyADeviceThatWentAwayBreaksTheLinkNotABreakOrAnEventCharacter) {
  StartLink();
  WaitUntilWaiting();
  dev->RaiseEvent(EV_RXFLAG);
  dev->RaiseEvent(EV_BREAK);
  dev->Feed(Hex("02 6A D3 7E"));
  ASSERT_TRUE(target.WaitFor(WM_RX_PACKET, 1, 5s)) << "the thread reads on after a break";
  EXPECT_EQ(target.Count(WM_COMM_BREAK), 0u) << "a break is line noise";
  dev->RaiseEvent(EV_ERR);
  ASSERT_TRUE(target.WaitFor(WM_COMM_BREAK, 1, 5s));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(target.Count(WM_COMM_BREAK), 1u);
  EXPECT_EQ(target.Count(WM_RX_PACKET), 1u);
}

TEST_F(ReceiveThreadTest, StopWithNoDataEndsTheWaitAndTracesTheGoodbye) {
  CTraceCapture trace;
  StartLink();
  WaitUntilWaiting();
  ASSERT_TRUE(runner.Stop(comm.get(), 5s));
  EXPECT_FALSE(g_bRxAlive);
  EXPECT_TRUE(DrainLog().empty()) << "the thread's goodbye is no line for the user";
  EXPECT_NE(trace.Text().find("END__ RX"), std::string::npos);
}

TEST_F(ReceiveThreadTest, NothingIsReadWhileHeldForASpeedChange) {
  StartLink();
  WaitUntilWaiting();
  runner.Thread()->SuspendThread();
  const int readsBefore = dev->ReadCalls();
  comm->ChangeBaud(115200);
  comm->m_bDloadFraming = 1;
  dev->Feed(Fcs16Reply({0x02}));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(dev->ReadCalls(), readsBefore);
  EXPECT_EQ(target.Count(WM_RX_PACKET), 0u);
  runner.Thread()->ResumeThread();
  ASSERT_TRUE(target.WaitFor(WM_RX_PACKET, 1, 5s)) << "the reopened port is read after the resume";
  EXPECT_EQ(dev->ConfiguredBauds().back(), 115200u);
}

TEST_F(ReceiveThreadTest, AFailedReopenEndsTheThread) {
  StartLink();
  WaitUntilWaiting();
  runner.Thread()->SuspendThread();
  dev->FailNextOpens(1);
  comm->ChangeBaud(115200);
  runner.Thread()->ResumeThread();
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (g_bRxAlive && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(g_bRxAlive);
  EXPECT_TRUE(runner.Thread()->IsFinished());
}

TEST_F(ReceiveThreadTest, RefusedEventMaskEndsTheThreadWithALine) {
  OpenLink();
  dev->FailEventMask(true);
  runner.Start(&target, comm.get(), &textQ);
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (!runner.Thread()->IsFinished() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(runner.Thread()->IsFinished());
  auto log = DrainLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].m_strText, "\nFail to set Comm mask\n\n");
}

TEST(ReceiveThreadLifetime, AThreadWhoseGateNeverOpenedCanBeDestroyed) {
  auto t = std::make_unique<CThreadRX>();
  t->CreateThread(true, false);
  t->ResumeThread();
  t.reset();  // must not hang
  auto never = std::make_unique<CThreadRX>();
  never->CreateThread(true, false);
  never.reset();  // never resumed either
  SUCCEED();
}

}  // namespace
