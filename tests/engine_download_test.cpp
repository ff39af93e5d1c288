// Whole downloads on virtual time against the simulated handset: every download type, the log
// of a NORMAL download, and the refusals that keep a technician from a half-written handset.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/Bytes.h"
#include "SampleImage.h"
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
      // An odd start accepted at the question is still checked against the end.
      {"odd start beyond the end, accepted", TYPE_NORMAL, 64 * 1024, 0x10001, "lies at or beyond its end"},
      {"odd start far beyond the end, accepted", TYPE_EMERGENCY, 64 * 1024, 0xFFFFFFFF, "0xFFFFFFFF lies at"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start("rev=1");
    h->Select(IDC_TYPE, c.type);
    if (!CDloadFile::IsGoodStartAddress(c.start)) h->win.ExpectMessageBox("다운로딩 시작 주소가", IDYES);
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

// The image changes under the tool after the erase was asked for, before the first block is
// read: the download ends with the reason, and not one block of the changed file is sent.
TEST_F(EngineDownloadTest, AnImageThatChangesDuringTheDownloadEndsIt) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> change;
    const char* why;
  } cases[] = {
      {"shrinks", [](const std::string& p) { std::filesystem::resize_file(p, 0x13000); },
       "now 77824 bytes; it had 131072 when it was checked"},
      {"grows", [](const std::string& p) { std::ofstream(p, std::ios::app) << std::string(0x1000, 'x'); },
       "now 135168 bytes; it had 131072 when it was checked"},
      {"disappears", [](const std::string& p) { std::filesystem::remove(p); }, "No such file."},
      {"is rewritten",
       [](const std::string& p) {
         const auto then = std::filesystem::last_write_time(p);
         std::fstream(p, std::ios::in | std::ios::out | std::ios::binary).write("rewritten", 9);
         std::filesystem::last_write_time(p, then + std::chrono::seconds(2));
       },
       "was rewritten since it was checked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start("rev=1");
    const std::string image = h->MakeImage(0x20000, 0x10000, 1);
    h->OpenImage(image);
    h->Click(IDC_RUN);
    ASSERT_TRUE(h->RunUntil([&] { return !FramesOf(0xEE).empty(); }, kLong));
    c.change(image);
    h->win.ExpectMessageBox("0x0010000", IDOK);
    ASSERT_TRUE(h->RunUntil([&] { return h->win.MessageBoxes().size() == 1; }, kLong));
    EXPECT_NE(h->win.MessageBoxes()[0].text.find(c.why), std::string::npos) << h->win.MessageBoxes()[0].text;
    h->RunFor(120000);
    EXPECT_FALSE(Completed());
    EXPECT_EQ(h->events.LastOutcome(), Outcome::ReadError);
    EXPECT_EQ(FramesOf(0xDD).size(), 0u) << "no block of a file that changed";
    EXPECT_EQ(FramesOf(0xEE).size(), 1u) << "no silent restart";
    EXPECT_NE(h->LogText().find("0x0010000h"), std::string::npos) << h->LogText();
    EXPECT_NE(h->LogText().find(c.why), std::string::npos) << h->LogText();
    EXPECT_EQ(h->LogRuns().back().colorBgr, kColorRed) << h->LogText();
    EXPECT_TRUE(IdleButtons());
    TearDown();
    h.reset();
  }
}

// Chosen, then rebuilt or copied over before Run: the file is no longer the one checked.
TEST_F(EngineDownloadTest, AnImageChangedBetweenOpenAndRunIsRefusedBeforeAnythingIsSent) {
  const struct {
    const char* name;
    int type;
    std::function<void(const std::string&)> change;
    const char* why;
  } cases[] = {
      {"grown", TYPE_NORMAL, [](const std::string& p) { std::ofstream(p, std::ios::app) << std::string(0x1000, 'x'); },
       "now 135168 bytes; it had 131072"},
      {"shrunk", TYPE_CHANGE_NORMAL, [](const std::string& p) { std::filesystem::resize_file(p, 0x10000); },
       "now 65536 bytes; it had 131072"},
      {"gone", TYPE_EMERGENCY, [](const std::string& p) { std::filesystem::remove(p); }, "No such file."},
      {"font gone", TYPE_FONT, [](const std::string& p) { std::filesystem::remove(p); }, "No such file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start("rev=1");
    h->Select(IDC_TYPE, c.type);
    const std::string image = h->MakeImage(0x20000, 0x10000, 1);
    h->OpenImage(image);
    c.change(image);
    const size_t writes = h->Writes().size();
    h->win.ExpectMessageBox(c.why, IDOK);
    h->Click(IDC_RUN);
    h->RunFor(60000);
    ASSERT_EQ(h->win.MessageBoxes().size(), 1u);
    EXPECT_NE(h->win.MessageBoxes()[0].text.find("Open the image again"), std::string::npos);
    EXPECT_EQ(h->Writes().size(), writes) << "nothing may reach the handset";
    EXPECT_EQ(h->events.LastOutcome(), Outcome::Refused);
    EXPECT_TRUE(IdleButtons());
    TearDown();
    h.reset();
  }
}

TEST_F(EngineDownloadTest, ADeclinedVersionQuestionBringsTheIdleButtonsBack) {
  Start("rev=204");
  h->OpenImage(h->MakeImage(0x10000, 0x4000, 203));
  h->win.ExpectMessageBox("S/W version is different. Downloading continue?", IDNO);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return h->win.MessageBoxes().size() == 1; }, kLong));
  const size_t writes = h->Writes().size();
  // The answer shows for two seconds before the buttons come back.
  h->RunFor(1900);
  EXPECT_FALSE(IdleButtons());
  h->RunFor(60000);
  EXPECT_EQ(h->Writes().size(), writes);
  EXPECT_TRUE(IdleButtons());
  EXPECT_EQ(h->events.LastOutcome(), Outcome::Declined);
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

// Each bad image is refused at Open with a box that names the cause, and Run then sends nothing.
TEST_F(EngineDownloadTest, BadImagesAreRefusedWithTheirCauseBeforeAnythingIsSent) {
  enum class Kind { File, Missing, Folder, Fifo };
  const auto image = [](uint32_t size, uint32_t start, uint32_t version, std::vector<uint8_t> sig = {0xFF, 0x1D, 0x00}) {
    auto b = sim::SampleImage(size, start, version, 5);
    std::copy(sig.begin(), sig.end(), b.end() - 37);
    return b;
  };
  const struct {
    const char* name;
    Kind kind;
    std::vector<uint8_t> content;
    int type;
    const char* cause;
    int answer;
    ImageStatus status;
  } cases[] = {
      {"empty", Kind::File, {}, TYPE_NORMAL, "The file is empty.", IDOK, ImageStatus::Refused},
      {"empty font", Kind::File, {}, TYPE_FONT, "The file is empty.", IDOK, ImageStatus::Refused},
      {"shorter than the trailer", Kind::File, std::vector<uint8_t>(36, 0xFF), TYPE_EMERGENCY,
       "The file has 36 bytes, fewer than the 37", IDOK, ImageStatus::Refused},
      {"signature byte 1", Kind::File, image(0x10000, 0, 1, {0xFE, 0x1D, 0x00}), TYPE_NORMAL,
       "trailer begins FE 1D 00, not FF 1D 00", IDOK, ImageStatus::Refused},
      {"signature byte 2", Kind::File, image(0x10000, 0, 1, {0xFF, 0x1C, 0x00}), TYPE_CHANGE_NORMAL,
       "trailer begins FF 1C 00", IDOK, ImageStatus::Refused},
      {"signature byte 3", Kind::File, image(0x10000, 0, 1, {0xFF, 0x1D, 0xFF}), TYPE_CHANGE_EMERGENCY,
       "trailer begins FF 1D FF", IDOK, ImageStatus::Refused},
      {"text file", Kind::File, std::vector<uint8_t>(8192, 'x'), TYPE_NORMAL, "trailer begins 78 78 78", IDOK,
       ImageStatus::Refused},
      {"version FF FF FF FF", Kind::File, image(0x10000, 0, 0xFFFFFFFF), TYPE_NORMAL, "FF FF FF FF", IDOK,
       ImageStatus::Refused},
      {"start below 0x4000 declined", Kind::File, image(0x11000, 0x1000, 1), TYPE_NORMAL, "0x1000", IDNO,
       ImageStatus::Declined},
      {"start not block-aligned declined", Kind::File, image(0x14800, 0x4800, 1), TYPE_EMERGENCY, "0x4800", IDNO,
       ImageStatus::Declined},
      {"missing", Kind::Missing, {}, TYPE_NORMAL, "No such file.", IDOK, ImageStatus::Refused},
      {"a folder", Kind::Folder, {}, TYPE_NORMAL, "It is a folder, not a file.", IDOK, ImageStatus::Refused},
      {"a FIFO", Kind::Fifo, {}, TYPE_FONT, "It is a FIFO (named pipe), not a regular file.", IDOK,
       ImageStatus::Refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start("rev=1");
    h->Select(IDC_TYPE, c.type);
    const std::string path = h->TempPath("bad.bin");
    if (c.kind == Kind::File) sim::WriteImage(path, c.content);
    if (c.kind == Kind::Folder) {
      ASSERT_TRUE(std::filesystem::create_directory(path));
    }
    if (c.kind == Kind::Fifo) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    h->win.ExpectMessageBox(c.cause, c.answer);
    h->OpenImage(path);
    ASSERT_EQ(h->events.images.size(), 1u);
    EXPECT_EQ(h->events.images[0].status, c.status);
    h->win.ExpectMessageBox("First, Select right bin file", IDOK);
    const size_t writes = h->Writes().size();
    h->Click(IDC_RUN);
    h->RunFor(10000);
    EXPECT_EQ(h->Writes().size(), writes);
    EXPECT_EQ(h->events.LastOutcome(), Outcome::Refused);
    TearDown();
    h.reset();
  }
}

// Root reads any file: the ordinary-user pass of the tests runs this one.
TEST_F(EngineDownloadTest, AnUnreadableImageIsRefusedSayingPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may read any file";
  Start("rev=1");
  const std::string image = h->MakeImage(0x10000, 0, 1);
  ASSERT_EQ(::chmod(image.c_str(), 0200), 0);
  h->win.ExpectMessageBox(" Fail to read from " + image + "\n Permission denied", IDOK);
  h->OpenImage(image);
  h->win.ExpectMessageBox("First, Select right bin file", IDOK);
  const size_t writes = h->Writes().size();
  h->Click(IDC_RUN);
  h->RunFor(10000);
  EXPECT_EQ(h->Writes().size(), writes);
}

// Every class of start address: 0 and whole blocks from 0x4000 go without a question; below
// 0x4000 or off a block boundary only when the user says so, and then from that very address.
TEST_F(EngineDownloadTest, StartAddressClasses) {
  const struct {
    uint32_t start;
    bool asks;
  } cases[] = {{0, false}, {0x4000, false}, {0x20000, false}, {0x1000, true}, {0x3000, true}, {0x4800, true},
               {0x10001, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.start);
    Start("rev=7");
    const std::string image = h->MakeImage(c.start + 0x10000, c.start, 7);
    if (c.asks) h->win.ExpectMessageBox(c.start == 0x10001 ? "0x10001" : "0x", IDYES);
    h->OpenImage(image);
    ASSERT_TRUE(h->dlg->DloadFile().IsValid());
    h->Click(IDC_RUN);
    RunToCompletion();
    EXPECT_EQ(h->dlg->View().startAddr, c.start);
    EXPECT_EQ(FramesOf(0xDD).size(), 16u);
    ExpectFlashHoldsImage(image, c.start);
    TearDown();
    h.reset();
  }
}

}  // namespace
