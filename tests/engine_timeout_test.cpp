// Silence, errors and a handset that goes away, on virtual time: resends, the speed and
// framing toggle, the ToDM fall-back, the block time-out cycle, and the three commands.
#include <gtest/gtest.h>

#include "Comm/LinkFlags.h"
#include "support/Bytes.h"
#include "support/EngineHarness.h"

namespace {

constexpr uint64_t kLong = 30 * 60 * 1000;

class EngineTimeoutTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    h = std::make_unique<CEngineHarness>(scenario);
    h->Init();
    t0 = h->win.Now();
  }
  void TearDown() override {
    if (h) {
      EXPECT_TRUE(h->win.Failures().empty()) << h->win.JournalText();
    }
  }
  // Wire writes after the start-up, as "ms baud bytes" relative to t.
  std::vector<std::string> WritesSince(uint64_t t) {
    std::vector<std::string> out;
    for (const auto& w : h->Writes()) {
      if (w.timeMs >= t) out.push_back(std::to_string(w.timeMs - t) + " " + std::to_string(w.baud) + " " + ToHex(w.bytes));
    }
    return out;
  }
  std::vector<sim::FrameRecord> FramesOf(uint8_t cmd) {
    std::vector<sim::FrameRecord> out;
    for (const auto& f : h->Frames()) {
      if (f.toDmStep < 0 && !f.bytes.empty() && f.bytes[0] == cmd) out.push_back(f);
    }
    return out;
  }
  // When the host wrote each download-mode request with this command code.
  std::vector<uint64_t> SendTimes(uint8_t cmd) {
    std::vector<uint64_t> out;
    for (const auto& w : h->Writes()) {
      if (w.bytes.size() > 1 && w.bytes[0] == 0x7E && w.bytes[1] == cmd) out.push_back(w.timeMs);
    }
    return out;
  }
  bool Completed() { return h->BoxShown("Downloading completed"); }
  bool IdleButtons() {
    auto& c = h->win.Controls();
    return c.IsEnabled(IDC_OPEN) && c.IsEnabled(IDC_RUN) && c.IsEnabled(IDC_TODM) && c.IsEnabled(IDC_INFO) &&
           !c.IsEnabled(IDC_STOP);
  }
  bool LogHas(const std::string& text, uint32_t color) {
    for (const auto& r : h->LogRuns()) {
      if (r.text == "\n" + text && r.colorBgr == color) return true;
    }
    return false;
  }

  std::unique_ptr<CEngineHarness> h;
  uint64_t t0 = 0;
};

TEST_F(EngineTimeoutTest, ASilentHandsetAfterStartUpGetsFiveVersionRequestsThenTheToDmSequence) {
  Start("silent=any:*");
  h->OpenImage(h->MakeImage(0x10000, 0x4000, 1));
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return h->dlg->View().state == DL_TO_DM; }, 60000));
  h->RunFor(100);
  // The Run itself pauses (ClearPhoneInfo); count from the first request.
  auto w = h->Writes();
  std::vector<std::pair<uint64_t, std::string>> sent;
  for (const auto& x : w) sent.push_back({x.timeMs, std::to_string(x.baud) + " " + ToHex(x.bytes)});
  ASSERT_GE(sent.size(), 6u);
  const uint64_t first = sent[sent.size() - 6].first;
  // Every speed change costs the link 700 ms of pauses (close, 100 ms, open with its 100 ms
  // settle, 500 ms) before the request goes out: after the toggle and before the ToDM sequence.
  const std::vector<std::pair<uint64_t, std::string>> expected = {
      {0, "57600 7F 00 78 F0 7E"},     {3000, "57600 7F 00 78 F0 7E"},   {6700, "115200 00 78 F0 7E"},
      {9700, "115200 00 78 F0 7E"},    {12700, "115200 00 78 F0 7E"},    {16400, "9600 7F AA DD 7E"},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& got = sent[sent.size() - 6 + i];
    EXPECT_EQ(got.first - first, expected[i].first) << i;
    EXPECT_EQ(got.second, expected[i].second) << i;
  }
  EXPECT_TRUE(LogHas("단말기를 DM 상태로 바꿈", kColorBlack)) << h->LogText();
  EXPECT_EQ(h->dlg->Comm().m_bCrc30Mode, 0) << "the toggle lasts beyond the download";
}

TEST_F(EngineTimeoutTest, TheToDmFallBackBringsAHandsetIntoDmAndTheDownloadCompletes) {
  Start("start=todm; rev=1");
  const std::string image = h->MakeImage(0x20000, 0x10000, 1);
  h->OpenImage(image);
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return Completed(); }, kLong)) << h->LogText();
  int steps[4] = {};
  for (const auto& f : h->Frames()) {
    if (f.toDmStep >= 0) ++steps[f.toDmStep];
  }
  EXPECT_EQ(steps[0], 1);
  EXPECT_EQ(steps[1], 1);
  EXPECT_EQ(steps[2], 1);
  EXPECT_EQ(steps[3], 1);
  const auto bytes = h->ReadFile(image);
  const auto flash = h->Flash(0x10000, 0x10000);
  EXPECT_TRUE(std::equal(bytes.begin() + 0x10000, bytes.end(), flash.begin()));
}

TEST_F(EngineTimeoutTest, TheBlockTimeOutCycleResendsTwiceThenErasesAgainOnceTheLineIsQuiet) {
  Start("rev=1; silent=block:1-3");
  h->OpenImage(h->MakeImage(0x14000, 0x10000, 1));
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return Completed(); }, kLong)) << h->LogText();
  auto blocks = FramesOf(0xDD);
  ASSERT_EQ(blocks.size(), 3u + 4u) << "the first block three times, then all four";
  const auto blockSends = SendTimes(0xDD);
  ASSERT_EQ(blockSends.size(), 7u);
  const uint64_t b0 = blockSends[0];
  EXPECT_NEAR(static_cast<double>(blockSends[1] - b0), 3000, 5);
  EXPECT_NEAR(static_cast<double>(blockSends[2] - b0), 6000, 5);
  auto erases = FramesOf(0xEE);
  ASSERT_EQ(erases.size(), 2u);
  const auto eraseSends = SendTimes(0xEE);
  ASSERT_EQ(eraseSends.size(), 2u);
  // Given up at 9 s; a handset silent on all three sends may be stalled over a write, and its
  // late ACK must not be taken for the erase's: four reply times of quiet first.
  EXPECT_NEAR(static_cast<double>(eraseSends[1] - b0), 9000 + 12000, 5);
  EXPECT_EQ(erases[1].bytes, erases[0].bytes) << "the same range again";
  EXPECT_TRUE(LogHas("패킷 재전송 ADDRESS: 0x0010000h", kColorRed)) << h->LogText();
  // After the second erase programming starts over from the first block.
  EXPECT_EQ(blocks[3].bytes[1] | blocks[3].bytes[2] << 8 | blocks[3].bytes[3] << 16, 0x10000);
  bool armed100s = false;
  for (const auto& t : h->win.TimerCalls()) armed100s |= !t.kill && t.periodMs == 100000 && t.timeMs >= eraseSends[1];
  EXPECT_TRUE(armed100s);
}

TEST_F(EngineTimeoutTest, ANakSendsTheBlockAgainAtOnceWithoutWaitingOutItsTimer) {
  Start("rev=1; nak=block:1-3:A1");
  h->OpenImage(h->MakeImage(0x14000, 0x10000, 1));
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return Completed(); }, kLong)) << h->LogText();
  const auto blockSends = SendTimes(0xDD);
  ASSERT_EQ(blockSends.size(), 3u + 4u) << "the first block refused three times, sent a fourth, then the rest";
  for (size_t i = 1; i < 4; ++i) {
    // A block's line time at 57600 bit/s and the handset's few ms, not a 3 s timer.
    EXPECT_LT(blockSends[i] - blockSends[i - 1], 1000u) << "send " << i + 1;
  }
  EXPECT_EQ(FramesOf(0xEE).size(), 1u) << "refusals cost no new erase";
  int crcErrors = 0;
  for (const auto& r : h->LogRuns()) crcErrors += r.text == "\nCRC ERROR!!";
  EXPECT_EQ(crcErrors, 3);
}

TEST_F(EngineTimeoutTest, AnErrorReplyCountsAsSilence) {
  Start("rev=1; nak=dmoffline:*:13");
  h->OpenImage(h->MakeImage(0x10000, 0x4000, 1));
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return LogHas("응답이 없습니다.", kColorRed); }, kLong));
  EXPECT_EQ(FramesOf(0x29).size(), 3u) << "sent once and resent twice";
  int invalid = 0;
  for (const auto& r : h->LogRuns()) invalid += r.text == "\nInvalid Command Response";
  EXPECT_EQ(invalid, 3);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(EngineTimeoutTest, ALateReplyIsAcceptedAndStopsTheReArmedTimer) {
  Start("rev=1; delay=version:1:3500");
  h->OpenImage(h->MakeImage(0x10000, 0x4000, 1));
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return Completed(); }, kLong)) << h->LogText();
  EXPECT_EQ(FramesOf(0x00).size(), 2u);
  EXPECT_EQ(FramesOf(0x29).size(), 1u) << "the late first reply moved the download on";
}

TEST_F(EngineTimeoutTest, SilenceAfterInfoEndsWithNoReplyAndIdleButtons) {
  Start("silent=any:*");
  h->Click(IDC_INFO);
  ASSERT_TRUE(h->RunUntil([&] { return LogHas("응답이 없습니다.", kColorRed); }, kLong));
  EXPECT_EQ(h->LogRuns().front().text, "\n단말기 정보를 읽어옵니다.");
  EXPECT_EQ(h->LogRuns().front().colorBgr, kColorBlue);
  auto requests = WritesSince(0);
  int versions = 0;
  for (const auto& w : h->Writes()) versions += ToHex(w.bytes).find("00 78 F0 7E") != std::string::npos;
  EXPECT_EQ(versions, 5);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(EngineTimeoutTest, InfoShowsThePhoneInformation) {
  Start("rev=203; sw=ABCDEFGH; date=Dec 07 2026; time=14:05:59");
  h->Click(IDC_INFO);
  ASSERT_TRUE(h->RunUntil([&] { return LogHas("Mobile version received", kColorBlue); }, 60000));
  EXPECT_EQ(h->win.Controls().GetText(IDC_SW_VERSION), "Ver02.03    ABCDEFGH");
  EXPECT_EQ(h->win.Controls().GetText(IDC_COMPILED), "Dec 07 2026 14:05:59");
  EXPECT_EQ(h->dlg->View().state, DL_INFO);
}

TEST_F(EngineTimeoutTest, ToDmWithAHandsetThatAnswers) {
  Start("start=todm");
  h->Click(IDC_TODM);
  ASSERT_TRUE(h->RunUntil([&] { return h->dlg->View().state == DL_VERSION; }, 60000));
  h->RunFor(60000);
  std::vector<std::string> raw;
  for (const auto& w : h->Writes()) {
    if (w.baud == 9600) raw.push_back(ToHex(w.bytes));
  }
  EXPECT_EQ(raw, (std::vector<std::string>{"7F AA DD 7E", "7F AA 1F 00 7E", "7F AA 20 04 00 02 00 01 7E",
                                           "7F AA 3F 00 7E"}));
  EXPECT_EQ(h->dlg->Comm().GetBaud(), 57600u);
  EXPECT_FALSE(h->dlg->View().toDmOnly);
  EXPECT_TRUE(h->win.ArmedTimers().size() <= 1) << "only the harness's own delivery timer may remain";
  for (const auto& t : h->win.ArmedTimers()) EXPECT_EQ(t.id, CEngineHarness::kDeliveryTimer);
}

TEST_F(EngineTimeoutTest, ToDmWithAHandsetThatNeverAnswers) {
  Start("silent=any:*");
  h->Click(IDC_TODM);
  ASSERT_TRUE(h->RunUntil([&] { return LogHas("응답이 없습니다.", kColorRed); }, 60000));
  std::vector<uint64_t> times;
  for (const auto& w : h->Writes()) {
    if (ToHex(w.bytes) == "7F AA DD 7E") times.push_back(w.timeMs);
  }
  ASSERT_EQ(times.size(), 3u);
  EXPECT_EQ(times[1] - times[0], 3000u);
  EXPECT_EQ(times[2] - times[1], 3000u);
}

TEST_F(EngineTimeoutTest, StopWhileIdleRestartsTheLink) {
  Start("rev=1");
  const uint32_t opens = h->loop->OpenCount();
  h->Click(IDC_STOP);
  h->RunFor(5000);
  EXPECT_GT(h->loop->OpenCount(), opens);
  EXPECT_TRUE(LogHas("Downloader stopped!!", kColorBlue));
  EXPECT_TRUE(IdleButtons());
}

TEST_F(EngineTimeoutTest, StopIsRefusedWhileErasing) {
  Start("rev=1; erase-ms=60000");
  h->OpenImage(h->MakeImage(0x10000, 0x4000, 1));
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return h->dlg->View().dlStep == STEP_ERASE; }, kLong));
  h->Click(IDC_STOP);
  h->RunFor(10);
  EXPECT_TRUE(LogHas("can't stop downloading", kColorRed));
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  ASSERT_TRUE(h->RunUntil([&] { return Completed(); }, kLong)) << "the download goes on";
}

TEST_F(EngineTimeoutTest, AHandsetThatGoesAwayStopsTheLinkAndRestoresTheButtons) {
  Start("rev=1; hangup=block:3");
  h->OpenImage(h->MakeImage(0x20000, 0x10000, 1));
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return !h->dlg->View().linkRunning; }, kLong)) << h->LogText();
  EXPECT_FALSE(g_bRxRun);
  EXPECT_TRUE(IdleButtons());
  EXPECT_FALSE(Completed());
  EXPECT_EQ(h->dlg->View().dlStep, STEP_START);
  // Run restarts the link first.
  const uint32_t opens = h->loop->OpenCount();
  h->Click(IDC_RUN);
  h->RunFor(100);
  EXPECT_GT(h->loop->OpenCount(), opens);
}

}  // namespace
