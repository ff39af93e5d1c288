// Whole downloads in real time over a pty: the receive thread, the tty device and the
// simulated handset behind the pty, as a technician's run would go.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Comm/LinkFlags.h"
#include "PtyHandset.h"
#include "SampleImage.h"
#include "TarviselDlg.h"
#include "platform/RealTimeWindow.h"
#include "support/RecordingEvents.h"

namespace {

using namespace std::chrono_literals;

class EnginePtyTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenarioText) {
    sim::CScenario scenario;
    std::string error;
    ASSERT_TRUE(scenario.Parse(scenarioText, error)) << error;
    handset = std::make_unique<sim::CPtyHandset>(std::make_unique<sim::CHandsetModel>(scenario, 1 << 20),
                                                 sim::PtyOptions{});
    ASSERT_TRUE(handset->Open()) << handset->Error();
    handsetThread = std::thread([this] { handsetEnd = handset->Run(); });
    char tmpl[] = "/tmp/tarvisel-pty-XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
    setenv("TARVISEL_COM1", handset->SlavePath().c_str(), 1);
    win.SetMessageBoxHandler([this](const std::string& text, const std::string&, unsigned type) {
      boxes.push_back(text);
      return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDYES : IDOK;
    });
    dlg = std::make_unique<CTarviselDlg>(win, &events);
    dlg->OnInitDialog();
  }
  void TearDown() override {
    dlg.reset();
    StopHandset();
    unsetenv("TARVISEL_COM1");
    unsetenv("TARVISEL_SETTINGS");
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string MakeImage(uint32_t size, uint32_t start) {
    image = sim::SampleImage(size, start, 203, 12345);
    const std::string path = dir + "/image.bin";
    sim::WriteImage(path, image);
    return path;
  }
  void Open(const std::string& path) {
    win.SetFileDialogHandler([path](const FileOpenRequest&) { return std::optional<std::string>(path); });
    dlg->OnOpen();
  }
  // Runs the window until done or the real-time bound; a watchdog ends a loop that waits.
  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds bound) {
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
      const auto until = std::chrono::steady_clock::now() + bound;
      while (!finished && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
      win.Quit();
    });
    const bool ok = win.Run(done);
    finished = true;
    watchdog.join();
    return ok;
  }
  bool Shown(const std::string& text) { return std::find(boxes.begin(), boxes.end(), text) != boxes.end(); }
  void Click(int id) { win.PostMessage(WM_COMMAND, static_cast<uintptr_t>(id), BN_CLICKED); }
  // Stops the handset and compares its flash with the image from `from` on.
  void ExpectFlashHoldsImage(uint32_t from) {
    StopHandset();
    const auto& flash = handset->Model().Flash().Bytes();
    EXPECT_TRUE(std::equal(image.begin() + from, image.end(), flash.begin() + from));
  }
  void StopHandset() {
    if (!handsetThread.joinable()) return;
    handset->Stop();
    handsetThread.join();
  }

  std::unique_ptr<sim::CPtyHandset> handset;
  std::thread handsetThread;
  sim::CPtyHandset::End handsetEnd{};
  std::string dir;
  std::vector<uint8_t> image;
  CRealTimeWindow win;
  CRecordingEvents events;
  std::vector<std::string> boxes;
  std::unique_ptr<CTarviselDlg> dlg;
};

TEST_F(EnginePtyTest, NormalDownloadCompletesAndTheFlashHoldsTheImage) {
  Start("rev=203; erase-ms=200");
  Open(MakeImage(0x10000, 0x4000));
  Click(IDC_RUN);
  ASSERT_TRUE(RunUntil([&] { return Shown("Downloading completed"); }, 60s))
      << win.Controls().LogPlainText(IDC_LOG);
  ExpectFlashHoldsImage(0x4000);
}

TEST_F(EnginePtyTest, EmergencyDownloadCompletesAndTheFlashHoldsTheImage) {
  Start("start=download; erase-ms=200");
  win.Controls().SetComboSel(IDC_TYPE, TYPE_EMERGENCY);
  dlg->OnCommand(IDC_TYPE, CBN_SELCHANGE);
  Open(MakeImage(0x10000, 0x8000));
  Click(IDC_RUN);
  ASSERT_TRUE(RunUntil([&] { return Shown("Downloading completed"); }, 60s))
      << win.Controls().LogPlainText(IDC_LOG);
  ExpectFlashHoldsImage(0x8000);
}

TEST_F(EnginePtyTest, AHangUpInTheMiddleStopsTheLinkAndRestoresTheButtons) {
  Start("rev=203; erase-ms=200; hangup=block:4");
  Open(MakeImage(0x10000, 0x4000));
  Click(IDC_RUN);
  ASSERT_TRUE(RunUntil([&] { return !g_bRxRun && !dlg->View().linkRunning; }, 60s))
      << win.Controls().LogPlainText(IDC_LOG);
  EXPECT_FALSE(Shown("Downloading completed"));
  auto& c = win.Controls();
  EXPECT_TRUE(c.IsEnabled(IDC_OPEN) && c.IsEnabled(IDC_RUN) && c.IsEnabled(IDC_TODM) && c.IsEnabled(IDC_INFO));
  EXPECT_FALSE(c.IsEnabled(IDC_STOP));
  EXPECT_FALSE(g_bCommOpen);
}

TEST_F(EnginePtyTest, TheToDmFallBackBringsTheHandsetIntoDmAndTheDownloadCompletes) {
  Start("start=todm; rev=203; erase-ms=200");
  Open(MakeImage(0x10000, 0x4000));
  Click(IDC_RUN);
  ASSERT_TRUE(RunUntil([&] { return Shown("Downloading completed"); }, 120s))
      << win.Controls().LogPlainText(IDC_LOG);
  ExpectFlashHoldsImage(0x4000);
}

// The real receive thread reading what the pty hands over, on a line that misbehaves. A pty has
// no line rate, so a duplicate cannot be told from the next answer by time: taken for it, the
// engine runs one reply behind (its next requests leave while the handset still owes a reply)
// until a reply with none owed gives it away. There the download may end in a clear failure,
// but never in a false success.
// A parameter as ctest names the test: ctest keeps how long each test took by its name, and
// cannot read a name with a space back (so the long ones could not start first).
std::string WithoutSpaces(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

struct HarshLine {
  const char* scenario;
  bool mustComplete;
};

void PrintTo(const HarshLine& c, std::ostream* os) { *os << WithoutSpaces(c.scenario); }

class EnginePtyHarshLineTest : public EnginePtyTest, public ::testing::WithParamInterface<HarshLine> {};

TEST_P(EnginePtyHarshLineTest, NeverAFalseSuccess) {
  const HarshLine& c = GetParam();
  Start(std::string("start=download; erase-ms=200; ") + c.scenario);
  win.Controls().SetComboSel(IDC_TYPE, TYPE_EMERGENCY);
  dlg->OnCommand(IDC_TYPE, CBN_SELCHANGE);
  Open(MakeImage(0x10000, 0x8000));
  Click(IDC_RUN);
  ASSERT_TRUE(RunUntil([&] { return !events.finished.empty(); }, 60s)) << win.Controls().LogPlainText(IDC_LOG);
  const bool completed = events.LastOutcome() == Outcome::Completed;
  EXPECT_EQ(completed, Shown("Downloading completed"));
  EXPECT_TRUE(completed || !c.mustComplete) << win.Controls().LogPlainText(IDC_LOG);
  dlg.reset();
  StopHandset();
  if (c.mustComplete) {
    EXPECT_EQ(handset->Model().RequestsWhileOwed(), 0u);
  }
  if (completed) {
    const auto& flash = handset->Model().Flash().Bytes();
    EXPECT_TRUE(std::equal(image.begin() + 0x8000, image.end(), flash.begin() + 0x8000))
        << "completed, but the flash differs from the image";
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, EnginePtyHarshLineTest,
                         ::testing::Values(HarshLine{"delay=block:3:3400; nak=block:6:A1", true},
                                           HarshLine{"dup=block:3:20; nak=block:6:A1", false},
                                           HarshLine{"extra=block:3:A1:0", false},
                                           HarshLine{"junk=block:3:02; nak=block:3:A1", true},
                                           HarshLine{"split=block:*:20:1", true},
                                           HarshLine{"adapter=16:62", true},
                                           HarshLine{"check=other", true}));

// Slow and busy handsets behind a pty, with the real receive thread: a late ACK of a block that
// was NAKed twice, a block write that stalls for 9 s, an erase longer than its timer, block
// writes longer than the reply time. The handset hears nothing while it erases or writes, or
// answers A1 then. Each must complete, with the image in the flash and no request sent while a
// reply was owed.
struct BusyLine {
  const char* scenario;
  uint32_t imageSize;  // from 0x8000: 8 blocks at 0x10000
  std::chrono::seconds bound;
};

void PrintTo(const BusyLine& c, std::ostream* os) { *os << WithoutSpaces(c.scenario); }

class EnginePtyBusyHandsetTest : public EnginePtyTest, public ::testing::WithParamInterface<BusyLine> {};

TEST_P(EnginePtyBusyHandsetTest, CompletesWithTheImageAndNothingSentWhileOwed) {
  const BusyLine& c = GetParam();
  // The handset hears at the line's rate, as one behind a serial line does: a busy one answers
  // a resend only after the resend has crossed.
  Start(std::string("start=download; erase-ms=200; pace=on; ") + c.scenario);
  win.Controls().SetComboSel(IDC_TYPE, TYPE_EMERGENCY);
  dlg->OnCommand(IDC_TYPE, CBN_SELCHANGE);
  Open(MakeImage(c.imageSize, 0x8000));
  Click(IDC_RUN);
  ASSERT_TRUE(RunUntil([&] { return !events.finished.empty(); }, c.bound)) << win.Controls().LogPlainText(IDC_LOG);
  EXPECT_EQ(events.LastOutcome(), Outcome::Completed) << win.Controls().LogPlainText(IDC_LOG);
  EXPECT_TRUE(Shown("Downloading completed"));
  dlg.reset();
  StopHandset();
  EXPECT_EQ(handset->Model().RequestsWhileOwed(), 0u);
  const auto& flash = handset->Model().Flash().Bytes();
  EXPECT_TRUE(std::equal(image.begin() + 0x8000, image.end(), flash.begin() + 0x8000))
      << "the flash differs from the image";
}

INSTANTIATE_TEST_SUITE_P(Handsets, EnginePtyBusyHandsetTest,
                         ::testing::Values(BusyLine{"busy=drop; nak=block:3-4:A1; delay=block:5:3500", 0x10000, 90s},
                                           BusyLine{"busy=nak; stall=block:3:9000", 0x10000, 90s},
                                           BusyLine{"busy=nak; stall=erase:1:104000", 0x10000, 280s},
                                           BusyLine{"busy=nak; write-ms=3100", 0xC000, 90s}));

}  // namespace
