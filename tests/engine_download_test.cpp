// Whole downloads on virtual time against the simulated handset: every download type, the log
// of a NORMAL download, and the refusals that keep a technician from a half-written handset.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/Bytes.h"
#include "support/EngineHarness.h"

namespace {

constexpr uint64_t kLong = 30 * 60 * 1000;  // virtual ms: a bound no download comes near

class EngineDownloadTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    h = std::make_unique<CEngineHarness>(scenario);
    h->Init();
  }
  void TearDown() override {
    if (h) {
      EXPECT_TRUE(h->win.Failures().empty()) << h->win.JournalText();
    }
  }
  bool Completed() { return h->BoxShown("Downloading completed"); }
  void RunToCompletion() {
    h->win.ExpectMessageBox("Downloading completed", IDOK);
    ASSERT_TRUE(h->RunUntil([&] { return Completed(); }, kLong)) << h->LogText();
  }
  std::vector<sim::FrameRecord> FramesOf(uint8_t cmd) {
    std::vector<sim::FrameRecord> out;
    for (const auto& f : h->Frames()) {
      if (f.toDmStep < 0 && !f.bytes.empty() && f.bytes[0] == cmd) out.push_back(f);
    }
    return out;
  }
  void ExpectFlashHoldsImage(const std::string& image, uint32_t from) {
    const auto bytes = h->ReadFile(image);
    const auto flash = h->Flash(from, static_cast<uint32_t>(bytes.size() - from));
    EXPECT_TRUE(std::equal(bytes.begin() + from, bytes.end(), flash.begin()))
        << "flash differs from the image after 0x" << std::hex << from;
  }
  bool IdleButtons() {
    auto& c = h->win.Controls();
    return c.IsEnabled(IDC_OPEN) && c.IsEnabled(IDC_RUN) && c.IsEnabled(IDC_TODM) && c.IsEnabled(IDC_INFO) &&
           !c.IsEnabled(IDC_STOP);
  }

  std::unique_ptr<CEngineHarness> h;
};

TEST_F(EngineDownloadTest, NormalOneMegabyteImageFromItsStartAddress) {
  Start("rev=203");
  const std::string image = h->MakeImage(1 << 20, 0x10000, 203);
  h->OpenImage(image);
  EXPECT_EQ(h->dlg->View().size, 1u << 20);
  h->Click(IDC_RUN);
  RunToCompletion();

  EXPECT_EQ(h->dlg->View().startAddr, 0x10000u);
  EXPECT_EQ(h->dlg->View().length, 0xF0000u);
  EXPECT_EQ(h->dlg->View().blocks, 240);
  auto erases = FramesOf(0xEE);
  ASSERT_EQ(erases.size(), 1u);
  EXPECT_EQ(ToHex(erases[0].bytes), "EE 00 00 01 00 00 00 0F 00");
  auto blocks = FramesOf(0xDD);
  ASSERT_EQ(blocks.size(), 240u);
  EXPECT_EQ(ToHex(std::vector<uint8_t>(blocks.front().bytes.begin(), blocks.front().bytes.begin() + 7)),
            "DD 00 00 01 00 00 10");
  EXPECT_EQ(ToHex(std::vector<uint8_t>(blocks.back().bytes.begin(), blocks.back().bytes.begin() + 5)),
            "DD 00 F0 0F 00");
  ExpectFlashHoldsImage(image, 0x10000);

  // The DM phase ran at 57600, the programming at the stored speed (115200 by default).
  EXPECT_EQ(FramesOf(0x00).front().baud, 57600u);
  EXPECT_EQ(blocks.front().baud, 115200u);
  EXPECT_EQ(ToHex(FramesOf(0xF0).front().bytes), "F0 01");
  EXPECT_TRUE(IdleButtons());
  EXPECT_EQ(h->win.Controls().GetText(IDC_STATUS).rfind("Elapsed time : ", 0), 0u);
  EXPECT_TRUE(h->win.Controls().IsShown(IDC_PROGRESS_IDLE));
  EXPECT_FALSE(h->win.Controls().IsShown(IDC_PROGRESS));
}

TEST_F(EngineDownloadTest, NormalLogInOrderAndColour) {
  Start("rev=203");
  h->OpenImage(h->MakeImage(64 * 1024, 0x4000, 203));
  h->Click(IDC_RUN);
  RunToCompletion();
  const std::vector<RichTextRun> expected = {
      {"\n단말기 버젼 확인중", kColorBlack, true},
      {"\nMobile version received", kColorBlue, true},
      {"\n모드 변환 DM OFFLINE 요청", kColorBlack, true},
      {"\nMobile entered DM_OFFLINE mode", kColorBlue, true},
      {"\n다운로드 모드로 변환 요청", kColorBlack, true},
      {"\nMobile entered DOWNLOAD mode", kColorBlue, true},
      {"\n다운로드 시작 요청", kColorBlack, true},
      {"\n다운로드 모듈 COPY 요청", kColorBlack, true},
      {"\nBaud rate set 요청", kColorBlack, true},
      {"\nJump 요청", kColorBlack, true},
      {"\n다운로드 시작 요청", kColorBlack, true},
      {"\n잠시 기다리십시요..", kColorBlue, true},
      {"\nFlash erase 요청", kColorBlack, true},
      {"\nFlash programming 시작", kColorBlack, true},
      {"\nJump 요청", kColorBlack, true},
  };
  EXPECT_EQ(h->LogRuns(), expected) << h->LogText();
  // The mode changes wait for the handset: 3000 ms before the download-mode request and
  // 2000 ms before the first download start.
  const auto mode = FramesOf(0x3A), offline = FramesOf(0x29);
  ASSERT_EQ(mode.size(), 1u);
  ASSERT_EQ(offline.size(), 1u);
  EXPECT_GE(mode[0].timeMs - offline[0].timeMs, 3000u);
  EXPECT_GE(FramesOf(0xA0).front().timeMs - mode[0].timeMs, 2000u);
}

TEST_F(EngineDownloadTest, EveryDownloadTypeCompletes) {
  struct Case {
    int type;
    const char* scenario;
    uint32_t start;     // the image's start address
    uint32_t flashAt;   // where the image lands
    uint32_t fileFrom;  // from which file offset
  } cases[] = {
      {TYPE_NORMAL, "rev=7", 0x8000, 0x8000, 0x8000},
      {TYPE_EMERGENCY, "start=download", 0x8000, 0x8000, 0x8000},
      {TYPE_CHANGE_EMERGENCY, "start=download", 0x8000, 0, 0},
      {TYPE_CHANGE_NORMAL, "rev=7", 0x8000, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    Start(c.scenario);
    const std::string image = h->MakeImage(128 * 1024, c.start, 7, static_cast<uint8_t>(c.type + 3));
    h->Select(IDC_TYPE, c.type);
    h->OpenImage(image);
    h->Click(IDC_RUN);
    RunToCompletion();
    ExpectFlashHoldsImage(image, c.fileFrom);
    EXPECT_EQ(FramesOf(0xDD).front().bytes[1] | FramesOf(0xDD).front().bytes[2] << 8 |
                  FramesOf(0xDD).front().bytes[3] << 16,
              static_cast<int>(c.flashAt));
    const bool dmPhase = c.type == TYPE_NORMAL || c.type == TYPE_CHANGE_NORMAL;
    EXPECT_EQ(FramesOf(0x00).size(), dmPhase ? 1u : 0u);
    TearDown();
    h.reset();
  }
}

TEST_F(EngineDownloadTest, FontDownloadTakesItsRangeFromTheDialog) {
  Start("rev=1");
  const std::string file = h->MakeImage(40000, 0, 0);  // shorter than the two block counts
  h->Select(IDC_TYPE, TYPE_FONT);
  h->OpenImage(file);
  h->win.ExpectFontDialog({"200000", "2", true});
  h->Click(IDC_RUN);
  RunToCompletion();
  EXPECT_EQ(h->dlg->View().startAddr, 0x200000u);
  EXPECT_EQ(h->dlg->View().length, 0x20000u);
  auto blocks = FramesOf(0xDD);
  ASSERT_EQ(blocks.size(), 32u);
  const auto bytes = h->ReadFile(file);
  const auto flash = h->Flash(0x200000, 0x20000);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(bytes.size()), flash.end(),
                          [](uint8_t b) { return b == 0xFF; }))
      << "past the end of the file the blocks carry erased flash";
  EXPECT_EQ(h->win.MessageBoxes().size(), 1u) << "no version question for a font";
}

TEST_F(EngineDownloadTest, RangesThatCannotBeDownloadedWholeAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    int type;
    uint32_t size;
    uint32_t start;
    const char* box;
  } cases[] = {
      {"start beyond the end", TYPE_NORMAL, 64 * 1024, 0x20000, "lies at or beyond its end"},
      {"start at the end", TYPE_EMERGENCY, 64 * 1024, 0x10000, "lies at or beyond its end"},
      {"less than a block", TYPE_NORMAL, 0x4000 + 4000, 0x4000, "at least one whole block"},
      {"partial last block", TYPE_NORMAL, 0x10800, 0, "not a whole number of 4096-byte blocks"},
      {"partial whole file", TYPE_CHANGE_NORMAL, 0x10800, 0x4000, "not a whole number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start("rev=1");
    h->Select(IDC_TYPE, c.type);
    h->OpenImage(h->MakeImage(c.size, c.start, 1));
    ASSERT_TRUE(h->dlg->DloadFile().IsValid());
    const size_t writesBefore = h->Writes().size();
    h->win.ExpectMessageBox(c.box, IDOK);
    h->Click(IDC_RUN);
    h->RunFor(60000);
    EXPECT_EQ(h->Writes().size(), writesBefore) << "nothing may reach the handset";
    EXPECT_TRUE(IdleButtons());
    TearDown();
    h.reset();
  }
}

TEST_F(EngineDownloadTest, ABlockThatCannotBeReadEndsTheDownload) {
  Start("rev=1");
  const std::string image = h->MakeImage(0x20000, 0x10000, 1);
  h->OpenImage(image);
  h->Click(IDC_RUN);
  // The image shrinks under the tool after the erase has been asked for.
  ASSERT_TRUE(h->RunUntil([&] { return !FramesOf(0xEE).empty(); }, kLong));
  std::filesystem::resize_file(image, 0x13000);
  h->win.ExpectMessageBox("0x0013000", IDOK);
  ASSERT_TRUE(h->RunUntil([&] { return h->win.MessageBoxes().size() == 1; }, kLong));
  h->RunFor(120000);
  EXPECT_FALSE(Completed());
  EXPECT_EQ(FramesOf(0xDD).size(), 3u) << "blocks 0x10000..0x12000, then nothing";
  EXPECT_EQ(FramesOf(0xEE).size(), 1u) << "no silent restart";
  EXPECT_NE(h->LogText().find("0x0013000h"), std::string::npos) << h->LogText();
  EXPECT_EQ(h->LogRuns().back().colorBgr, kColorRed);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(EngineDownloadTest, ADeclinedVersionQuestionBringsTheIdleButtonsBack) {
  Start("rev=204");
  h->OpenImage(h->MakeImage(0x10000, 0x4000, 203));
  h->win.ExpectMessageBox("S/W version is different. Downloading continue?", IDNO);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return h->win.MessageBoxes().size() == 1; }, kLong));
  const size_t writes = h->Writes().size();
  h->RunFor(60000);
  EXPECT_EQ(h->Writes().size(), writes);
  EXPECT_TRUE(IdleButtons());
  EXPECT_EQ(h->win.Pauses().back().ms, 2000u);
}

TEST_F(EngineDownloadTest, ACancelledFontDialogBringsTheIdleButtonsBack) {
  Start("rev=1");
  h->Select(IDC_TYPE, TYPE_FONT);
  h->OpenImage(h->MakeImage(0x10000, 0, 1));
  h->win.ExpectFontDialog({std::nullopt, std::nullopt, false});
  const size_t writes = h->Writes().size();
  h->Click(IDC_RUN);
  h->RunFor(10000);
  EXPECT_EQ(h->Writes().size(), writes);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(EngineDownloadTest, AnInvalidImageIsRefused) {
  Start("rev=1");
  const std::string bad = h->TempPath("bad.bin");
  std::ofstream(bad) << std::string(8192, 'x');
  h->win.ExpectMessageBox("This is a damaged file", IDOK);
  h->OpenImage(bad);
  h->win.ExpectMessageBox("First, Select right bin file", IDOK);
  const size_t writes = h->Writes().size();
  h->Click(IDC_RUN);
  h->RunFor(10000);
  EXPECT_EQ(h->Writes().size(), writes);
}

}  // namespace
