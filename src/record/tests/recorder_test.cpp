// A download's row as the recorder gathers it from its front-end and the engine's events, and
// what becomes of a row that cannot be written.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

#include "DownloadRecorder.h"
#include "HistoryDb.h"
#include "ImageDigest.h"
#include "WindowRecorder.h"

namespace fs = std::filesystem;

namespace {

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-recorder-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    db = dir + "/history.sqlite";
    image = dir + "/fw.bin";
    std::ofstream(image) << "abc";
    fs::current_path(dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::current_path("/", ec);
    fs::remove_all(dir, ec);
  }
  std::vector<DownloadRecord> Rows() {
    std::string error;
    auto h = CHistoryDb::Open(db, CHistoryDb::Access::Read, error);
    if (!h) return {};
    return h->Rows({}, error).value_or(std::vector<DownloadRecord>{});
  }
  // The image as a relative path given in its folder.
  DownloadStart Start(const std::string& device) { return {device, "./fw.bin", "emergency", 115200, true}; }

  std::string dir, db, image;
  std::vector<std::string> warnings;
};

// "2026-12-08T09:15:02.125Z": digits where digits go, the rest as it is.
bool IsIsoUtc(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  return true;
}

// A table of USB adapters by tty, as udev would describe them.
class FakeFacts final : public CDeviceFacts {
 public:
  std::map<std::string, UsbAdapter> adapters;
  std::optional<UsbAdapter> Adapter(const std::string& tty) override {
    const auto it = adapters.find(tty);
    return it == adapters.end() ? std::nullopt : std::optional<UsbAdapter>(it->second);
  }
};

TEST_F(RecorderTest, ADownloadsRowHoldsWhatItsFrontEndAndTheEngineSaid) {
  // A link to a file standing in for the tty the adapter's facts are known by.
  const std::string tty = dir + "/ttyUSB7";
  std::ofstream(tty) << "";
  fs::create_symlink(tty, dir + "/link");
  FakeFacts facts;
  facts.adapters[tty] = UsbAdapter{"0403", "6001", "FTDI", "FT232R", "A50285BI", "ftdi_sio", "/dev/serial/by-id/usb-X"};

  CDownloadRecorder recorder(db, [&](const std::string& w) { warnings.push_back(w); }, &facts);
  recorder.Begin(Start(dir + "/link"));
  recorder.Image({ImageStatus::Accepted, "./fw.bin", 3, 203});
  recorder.Phone({"Ver02.03    KVH100A ", "Mar 14 2024", "PCB", 203});
  for (int i = 0; i < 3; ++i) recorder.Resend();
  ASSERT_TRUE(recorder.Finish("completed", 0));
  EXPECT_TRUE(warnings.empty());

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  const DownloadRecord& r = rows[0];
  EXPECT_TRUE(IsIsoUtc(r.start)) << r.start;
  EXPECT_TRUE(IsIsoUtc(r.end)) << r.end;
  EXPECT_LE(r.start, r.end);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(r.host, host);
  EXPECT_EQ(r.device, dir + "/link");
  EXPECT_EQ(r.tty, tty);
  EXPECT_EQ(r.serial, "A50285BI");
  EXPECT_EQ(r.byId, "/dev/serial/by-id/usb-X");
  EXPECT_EQ(r.image, image);
  EXPECT_EQ(r.size, 3);
  EXPECT_EQ(r.sha256, FileSha256(image));
  EXPECT_EQ(r.type, "emergency");
  EXPECT_EQ(r.speed, 115200);
  EXPECT_EQ(r.phoneSw, "Ver02.03    KVH100A");
  EXPECT_EQ(r.imageVersion, "203");
  EXPECT_EQ(r.outcome, "completed");
  EXPECT_EQ(r.exit, 0);
  ASSERT_TRUE(r.elapsedS);
  EXPECT_GE(*r.elapsedS, 0);
  EXPECT_EQ(r.resends, 3);
  EXPECT_EQ(r.toolVersion, ToolVersion());
}

TEST_F(RecorderTest, TheSha256IsThePublishedOneOfAbc) {
  EXPECT_EQ(FileSha256(image), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(FileSha256(dir), "");
  EXPECT_EQ(FileSha256(dir + "/missing"), "");
}

TEST_F(RecorderTest, WhatAStartedAtAndUnknownResendsAndADeviceThatIsGoneLeave) {
  CDownloadRecorder recorder(db, nullptr);
  DownloadStart start = Start(dir + "/unplugged");
  start.countsResends = false;
  recorder.Begin(start, std::chrono::steady_clock::now() - std::chrono::seconds(30));
  recorder.Resend();
  ASSERT_TRUE(recorder.Finish("crashed", 139));
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].resends);
  EXPECT_EQ(rows[0].tty, "");
  EXPECT_EQ(rows[0].phoneSw, "");
  EXPECT_EQ(rows[0].imageVersion, "");  // the engine never opened it
  ASSERT_TRUE(rows[0].elapsedS);
  EXPECT_GE(*rows[0].elapsedS, 30);
  EXPECT_EQ(rows[0].exit, 139);
}

TEST_F(RecorderTest, ADatabaseThatCannotBeWrittenIsAWarningAndNoRecordIsNone) {
  std::ofstream(dir + "/file") << "x";
  const struct {
    std::string path;
    bool warns;
  } cases[] = {
      {dir + "/file/history.sqlite", true},  // its folder is a file
      {dir + "/file", true},                 // not a database
      {"", false},                           // --no-history
  };
  for (const auto& c : cases) {
    warnings.clear();
    CDownloadRecorder recorder(c.path, [&](const std::string& w) { warnings.push_back(w); });
    recorder.Begin(Start("/dev/ttyUSB0"));
    EXPECT_FALSE(recorder.Finish("completed", 0)) << c.path;
    ASSERT_EQ(warnings.size(), c.warns ? 1u : 0u) << c.path;
    if (c.warns) {
      EXPECT_NE(warnings[0].find("not recorded in " + c.path), std::string::npos) << warnings[0];
    }
    EXPECT_FALSE(recorder.Finish("completed", 0)) << "one row a download";
  }
  EXPECT_EQ(std::ifstream(dir + "/file").get(), 'x');
}

TEST_F(RecorderTest, TheWindowRecordsItsDownloadsAloneWithTheExitStatusOfTheOutcome) {
  CDownloadRecorder recorder(db, nullptr);
  int contexts = 0;
  CWindowRecorder window(recorder, [&] {
    ++contexts;
    return Start("/dev/ttyS0");
  });
  window.OnImageOpened({ImageStatus::Accepted, "./fw.bin", 3, 204});
  // Info and ToDM are no downloads.
  window.OnStarted(EngineCommand::Info);
  window.OnPhoneInfo({"Ver02.04", "", "", 204});
  window.OnFinished(EngineCommand::Info, Outcome::Completed);
  const struct {
    Outcome outcome;
    const char* name;
    int exit;
  } downloads[] = {{Outcome::NoReply, "no-reply", 1}, {Outcome::LineBroke, "line-broke", 5},
                   {Outcome::Completed, "completed", 0}};
  for (const auto& d : downloads) {
    window.OnStarted(EngineCommand::Download);
    window.OnResend({});
    window.OnFinished(EngineCommand::Download, d.outcome);
  }
  EXPECT_EQ(contexts, 3);
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const DownloadRecord& r = rows[2 - i];  // newest first
    EXPECT_EQ(r.outcome, downloads[i].name);
    EXPECT_EQ(r.exit, downloads[i].exit);
    EXPECT_EQ(r.resends, 1);
    EXPECT_EQ(r.imageVersion, "204");  // opened before the Run
    EXPECT_EQ(r.phoneSw, "");          // Info's version belonged to Info
  }
}

}  // namespace
