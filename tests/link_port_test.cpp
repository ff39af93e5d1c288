// The port half of the link over the in-memory device: naming, open and close, speed changes,
// byte I/O and log forwarding.
#include <gtest/gtest.h>

#include "support/LinkFixture.h"
#include "support/TraceCapture.h"

namespace {

using LinkPortTest = LinkFixture;

TEST_F(LinkPortTest, PortNumbersNameDevices) {
  setenv("TARVISEL_COM2", "/fake/com2", 1);
  setenv("TARVISEL_TELNET", "/fake/telnet", 1);
  unsetenv("TARVISEL_COM3");
  struct {
    uint8_t port;
    bool opens;
    const char* path;
  } cases[] = {{1, true, "/fake/com1"}, {2, true, "/fake/com2"}, {3, true, "/dev/ttyS2"},
               {5, true, "/fake/telnet"}, {200, true, "/fake/telnet"}, {0, false, ""}};
  for (const auto& c : cases) {
    comm->SetPort(c.port);
    comm->Open();
    EXPECT_EQ(dev->OpenedPaths().back(), c.path) << int(c.port);
    EXPECT_EQ(g_bCommOpen.load(), c.opens) << int(c.port);
    comm->Close();
  }
  unsetenv("TARVISEL_TELNET");
  comm->SetPort(7);
  EXPECT_FALSE(comm->Open()) << "without TARVISEL_TELNET there is no TELNET device";
  unsetenv("TARVISEL_COM2");
}

TEST_F(LinkPortTest, OpenConfiguresSettlesAndRaisesTheFlag) {
  EXPECT_FALSE(g_bCommOpen);
  ASSERT_TRUE(comm->Open());
  EXPECT_TRUE(g_bCommOpen);
  EXPECT_EQ(dev->ConfiguredBauds(), std::vector<uint32_t>{57600});
  EXPECT_EQ(dev->EventMask(), EV_RXCHAR);
  EXPECT_EQ(pauses, std::vector<unsigned>{100});
  EXPECT_TRUE(comm->GetOpenError().empty());
}

TEST_F(LinkPortTest, FailedOpenTracesAndSaysWhy) {
  CTraceCapture trace;
  dev->FailNextOpens(1);
  EXPECT_FALSE(comm->Open());
  EXPECT_FALSE(g_bCommOpen);
  EXPECT_NE(trace.Text().find("Failt to open Comm\n"), std::string::npos);
  EXPECT_EQ(comm->GetOpenError().rfind("COM1: ", 0), 0u) << comm->GetOpenError();
  EXPECT_TRUE(pauses.empty());
  EXPECT_TRUE(DrainLog().empty()) << "trace lines never reach the log";
}

TEST_F(LinkPortTest, CloseOnlyWhenOpen) {
  EXPECT_FALSE(comm->Close());
  EXPECT_EQ(dev->CloseCount(), 0);
  OpenLink();
  EXPECT_TRUE(comm->Close());
  EXPECT_FALSE(g_bCommOpen);
  EXPECT_EQ(dev->CloseCount(), 1);
  EXPECT_EQ(dev->EventMask(), 0u) << "an emptied mask releases the receive thread";
  EXPECT_TRUE(dev->WasDtrCleared());
  EXPECT_FALSE(comm->Close());
}

TEST_F(LinkPortTest, WritesToAClosedPortNeverReachTheDevice) {
  EXPECT_FALSE(comm->WriteCommByte(0x55));
  comm->SendVersionReq();
  EXPECT_EQ(dev->WriteAttemptsWhileClosed(), 0);
  EXPECT_TRUE(dev->TakeWritten().empty());
}

TEST_F(LinkPortTest, ReadOnlyWhatWaits) {
  OpenLink();
  uint8_t buf[8];
  EXPECT_EQ(comm->ReadComm(buf, sizeof buf), 0u);
  dev->Feed({1, 2, 3, 4, 5});
  EXPECT_EQ(comm->ReadComm(buf, 3), 3u);
  EXPECT_EQ(comm->ReadComm(buf, 8), 2u);
  EXPECT_EQ(buf[1], 5);
}

TEST_F(LinkPortTest, SpeedChanges) {
  OpenLink();
  comm->ChangeBaud(57600);
  EXPECT_EQ(dev->CloseCount(), 0) << "same speed: nothing happens";
  EXPECT_TRUE(pauses.empty());

  comm->ChangeBaud(9600);
  EXPECT_EQ(comm->GetBaud(), 9600u);
  EXPECT_EQ(dev->CloseCount(), 1);
  EXPECT_EQ(dev->ConfiguredBauds().back(), 9600u);
  EXPECT_EQ(pauses, (std::vector<unsigned>{100, 100, 500}));
  EXPECT_TRUE(g_bCommOpen);
}

TEST_F(LinkPortTest, ToggleSpeedFlipsVariantAndRate) {
  OpenLink();
  ASSERT_EQ(comm->m_bCrc30Mode, 1);
  comm->ToggleSpeed();
  EXPECT_EQ(comm->m_bCrc30Mode, 0);
  EXPECT_EQ(comm->GetBaud(), 115200u);
  comm->ToggleSpeed();
  EXPECT_EQ(comm->m_bCrc30Mode, 1);
  EXPECT_EQ(comm->GetBaud(), 57600u);
  EXPECT_EQ(dev->CloseCount(), 2);

  // Already at the target speed: only the flag flips.
  comm->ChangeBaud(115200);
  const int closes = dev->CloseCount();
  comm->m_bCrc30Mode = 1;
  comm->ToggleSpeed();
  EXPECT_EQ(comm->m_bCrc30Mode, 0);
  EXPECT_EQ(dev->CloseCount(), closes);
}

TEST_F(LinkPortTest, FailedReopenLeavesTheLinkClosed) {
  OpenLink();
  dev->FailNextOpens(1);
  comm->ChangeBaud(115200);
  EXPECT_FALSE(g_bCommOpen);
  EXPECT_FALSE(comm->WriteCommByte(0));
}

TEST_F(LinkPortTest, LogTextsQueueAndPost) {
  comm->LogText("");
  comm->LogError("");
  EXPECT_TRUE(DrainLog().empty());
  EXPECT_EQ(target.Count(WM_LOG_TEXT), 0u);

  comm->LogText("black");
  comm->LogError("red");
  auto log = DrainLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].m_nKind, 4);
  EXPECT_EQ(log[1].m_nKind, 3);
  EXPECT_EQ(target.Count(WM_LOG_TEXT), 2u);

  for (int i = 0; i < 100; ++i) comm->LogText("x");
  comm->LogText("dropped");
  EXPECT_EQ(target.Count(WM_LOG_TEXT), 102u) << "a full queue posts nothing";
}

TEST_F(LinkPortTest, ReleaseClosesAndNeedsInitAgain) {
  OpenLink();
  EXPECT_TRUE(comm->ReleaseComm());
  EXPECT_FALSE(g_bCommOpen);
  EXPECT_FALSE(comm->IsEventsReady());
  EXPECT_TRUE(comm->InitComm(&target, &textQ));
  EXPECT_TRUE(comm->IsEventsReady());
}

}  // namespace
