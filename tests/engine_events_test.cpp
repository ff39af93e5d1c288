// What the engine reports to its front-ends: one start and one finish per command with the
// outcome, the phases in order, progress after every block, the phone information and the
// log lines; asserted as types, never by reading texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Comm/LinkFlags.h"
#include "support/EngineHarness.h"

namespace {

constexpr uint64_t kLong = 30 * 60 * 1000;

class EngineEventsTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    h = std::make_unique<CEngineHarness>(scenario, size_t{1} << 20);
    h->Init();
  }
  bool Finished() { return !h->events.finished.empty(); }
  void RunToFinish() { ASSERT_TRUE(h->RunUntil([&] { return Finished(); }, kLong)) << h->LogText(); }
  std::unique_ptr<CEngineHarness> h;
};

TEST_F(EngineEventsTest, ANormalDownloadReportsItsPhasesProgressAndOutcome) {
  Start("rev=203; sw=ABCDEFGH");
  h->OpenImage(h->MakeImage(0x20000, 0x10000, 203));
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  RunToFinish();
  h->RunFor(10000);

  const auto& e = h->events;
  ASSERT_EQ(e.images.size(), 1u);
  EXPECT_EQ(e.images[0].status, ImageStatus::Accepted);
  EXPECT_EQ(e.images[0].size, 0x20000u);
  EXPECT_EQ(e.images[0].version, 203u);
  EXPECT_EQ(e.order, (std::vector<std::string>{"started download", "phase version", "phase dm-offline",
                                                "phase download-mode", "phase module", "phase erase",
                                                "phase programming", "phase jump", "finished completed"}));
  ASSERT_TRUE(e.phone);
  EXPECT_EQ(e.phone->revision, 203u);
  EXPECT_EQ(e.phone->swVersion, "Ver02.03    ABCDEFGH");

  // 0 of 16, then each block once, in order, its address and bytes with it.
  ASSERT_EQ(e.progress.size(), 17u);
  for (size_t i = 0; i < e.progress.size(); ++i) {
    EXPECT_EQ(e.progress[i].block, static_cast<int>(i));
    EXPECT_EQ(e.progress[i].blocks, 16);
    EXPECT_EQ(e.progress[i].bytes, i * 4096);
    EXPECT_EQ(e.progress[i].address, 0x10000u + (i ? (i - 1) * 4096 : 0));
  }
  EXPECT_TRUE(e.programmedMs.has_value());
  // The log lines come as the window shows them, each with the tone of its colour.
  auto has = [&](LogTone tone, const std::string& text) {
    return std::any_of(e.logs.begin(), e.logs.end(), [&](const auto& l) { return l.first == tone && l.second == text; });
  };
  EXPECT_TRUE(has(LogTone::Step, "Flash programming 시작"));
  EXPECT_TRUE(has(LogTone::Info, "Mobile version received"));
}

struct OutcomeCase {
  const char* name;
  const char* scenario;
  int type;
  int answer;  // to the version question, when one comes
  Outcome outcome;
};

TEST_F(EngineEventsTest, EachWayADownloadEndsHasItsOutcome) {
  const OutcomeCase cases[] = {
      {"completed", "rev=1", TYPE_NORMAL, IDYES, Outcome::Completed},
      {"a silent handset", "start=download; silent=any:*", TYPE_EMERGENCY, IDYES, Outcome::NoReply},
      {"every request refused", "start=download; nak=any:*:A3", TYPE_EMERGENCY, IDYES, Outcome::HandsetRefused},
      {"the version question answered No", "rev=2", TYPE_NORMAL, IDNO, Outcome::Declined},
      {"the handset goes away", "rev=1; hangup=block:3", TYPE_NORMAL, IDYES, Outcome::LineBroke},
      {"replies out of step", "rev=1; extra=jump:2:02:50", TYPE_NORMAL, IDYES, Outcome::OutOfStep},
  };
  for (const auto& c : cases) {
    Start(c.scenario);
    h->OpenImage(h->MakeImage(0x20000, 0x10000, 1));
    h->Select(IDC_TYPE, c.type);
    h->win.ExpectMessageBox("S/W version is different. Downloading continue?", c.answer);
    h->win.ExpectMessageBox("Downloading completed", IDOK);
    h->Click(IDC_RUN);
    RunToFinish();
    h->RunFor(20000);
    ASSERT_EQ(h->events.finished.size(), 1u) << c.name << ": exactly one finish";
    EXPECT_EQ(h->events.finished[0].command, EngineCommand::Download) << c.name;
    EXPECT_EQ(h->events.finished[0].outcome, c.outcome) << c.name << "\n" << h->LogText();
    EXPECT_EQ(h->events.order.back().rfind("finished", 0), 0u) << c.name << ": the finish comes last";
    h.reset();
  }
}

TEST_F(EngineEventsTest, RefusalsAndStopEndTheCommand) {
  // An image refused at Open is reported at Open, and Run then refuses it.
  Start("rev=1");
  const std::string text = h->TempPath("notes.txt");
  std::ofstream(text) << "not an image";
  h->OpenImage(text);
  ASSERT_EQ(h->events.images.size(), 1u);
  EXPECT_EQ(h->events.images[0].status, ImageStatus::Refused);
  h->Click(IDC_RUN);
  h->RunFor(1000);
  ASSERT_EQ(h->events.finished.size(), 1u);
  EXPECT_EQ(h->events.finished[0].outcome, Outcome::Refused);

  // A block that cannot be read in the middle of the download.
  h = nullptr;
  Start("rev=1");
  const std::string image = h->MakeImage(0x20000, 0x10000, 1);
  h->OpenImage(image);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return h->events.progress.size() > 3; }, kLong));
  std::filesystem::resize_file(image, 0x14000);
  RunToFinish();
  EXPECT_EQ(h->events.finished[0].outcome, Outcome::ReadError);

  // Stop while the version is awaited.
  h = nullptr;
  Start("silent=any:*");
  h->OpenImage(h->MakeImage(0x20000, 0x10000, 1));
  h->Click(IDC_RUN);
  h->RunFor(1000);
  h->Click(IDC_STOP);
  RunToFinish();
  EXPECT_EQ(h->events.finished[0].outcome, Outcome::Stopped);
}

TEST_F(EngineEventsTest, InfoAndToDmComplete) {
  Start("rev=203; sw=ABCDEFGH");
  h->Click(IDC_INFO);
  RunToFinish();
  EXPECT_EQ(h->events.order, (std::vector<std::string>{"started info", "phase info", "finished completed"}));
  ASSERT_TRUE(h->events.phone);
  EXPECT_EQ(h->events.phone->swVersion, "Ver02.03    ABCDEFGH");

  h = nullptr;
  Start("start=todm");
  h->Click(IDC_TODM);
  RunToFinish();
  EXPECT_EQ(h->events.order, (std::vector<std::string>{"started todm", "phase todm", "finished completed"}));
}

TEST_F(EngineEventsTest, ASecondEngineIsRefusedAndLeavesTheFirstOnesFlags) {
  Start("rev=1");
  ASSERT_TRUE(g_bRxRun);
  CVirtualWindow other;
  EXPECT_THROW(CTarviselDlg second(other), std::logic_error);
  EXPECT_TRUE(g_bRxRun) << "the first engine's link still runs";
  EXPECT_TRUE(g_bCommOpen);
  h->Click(IDC_INFO);
  RunToFinish();
  EXPECT_EQ(h->events.finished[0].outcome, Outcome::Completed);
}

}  // namespace
