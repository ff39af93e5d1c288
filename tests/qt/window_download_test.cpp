// A NORMAL download driven through the window as a technician does it: Open, Run, against
// tarvisel-sim (the program as built) over a pty, to "Downloading completed".
#include <signal.h>

#include <QApplication>
#include <QProgressBar>
#include <QTimer>

#include "ControlIds.h"
#include "HistoryDb.h"
#include "HistoryPath.h"
#include "Subprocess.h"
#include "TextProgressWidget.h"
#include "WindowFixture.h"

namespace {

using namespace std::chrono_literals;

class WindowDownloadTest : public WindowFixture {
 protected:
  void StartSim(const std::string& scenario) {
    sim = std::make_unique<CChild>(std::vector<std::string>{TARVISEL_SIM_PATH, "--scenario", scenario, "--link", Pty(),
                                                            "--save-flash", dir + "/flash.bin", "--flash-size", "1M"},
                                   dir, "sim");
    ASSERT_TRUE(sim->Started());
    for (int i = 0; i < 500 && !std::filesystem::exists(Pty()); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(Pty())) << sim->Err();
    setenv("TARVISEL_COM1", Pty().c_str(), 1);
  }
  void StopSim() {
    if (!sim) return;
    sim->Signal(SIGTERM);
    sim->Wait(20s);
  }
  void TearDown() override {
    session.reset();
    StopSim();
    sim.reset();
    WindowFixture::TearDown();
  }
  std::string Pty() const { return dir + "/pty"; }
  // The record in the default place, which the fixture points into its folder.
  std::vector<DownloadRecord> Recorded() const {
    std::string error;
    const auto db = CHistoryDb::Open(DefaultHistoryPath(), CHistoryDb::Access::Read, error);
    return db ? db->Rows({}, error).value_or(std::vector<DownloadRecord>{}) : std::vector<DownloadRecord>{};
  }

  std::unique_ptr<CChild> sim;
};

struct Sample {
  bool textBar = false;
  bool idleBar = false;
  bool paused = false;
};

TEST_F(WindowDownloadTest, NormalDownloadByClickingRunCompletesAndTheFlashHoldsTheImage) {
  StartSim("rev=203; erase-ms=300");
  StartWindow();
  const std::string path = MakeImage(0x10000, 0x4000, 203, "image.bin");
  ChooseFile(path);
  Click(IDC_OPEN);
  ASSERT_EQ(Text(IDC_BIN_PATH), path);

  // What the bars show over time, sampled while the engine runs (inside its pauses, too).
  std::vector<Sample> samples;
  QTimer sampler;
  CTarviselWindow& w = session->Window();
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    samples.push_back({w.TextProgress()->isVisible(), w.IdleProgress()->isVisible(), session->Services().IsPaused()});
  });
  sampler.start(10);

  Click(IDC_RUN);
  ASSERT_TRUE(WaitFor([&] { return modals->Saw("Downloading completed"); }, 60000)) << LogText();
  sampler.stop();

  const std::string log = LogText();
  const size_t version = log.find("단말기 버젼 확인중");
  const size_t programming = log.find("Flash programming 시작");
  ASSERT_NE(version, std::string::npos) << log;
  ASSERT_NE(programming, std::string::npos) << log;
  EXPECT_LT(version, programming);
  EXPECT_EQ(Text(IDC_STATUS).rfind("Elapsed time : ", 0), 0u) << Text(IDC_STATUS);

  const bool programmingShown = std::any_of(samples.begin(), samples.end(),
                                            [](const Sample& s) { return s.textBar && !s.idleBar; });
  const bool sampledInPause = std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.paused; });
  EXPECT_TRUE(programmingShown);
  EXPECT_TRUE(sampledInPause);  // timers, and so the event loop, ran during the pauses
  EXPECT_GT(w.PaintsWhilePaused(), 0);
  EXPECT_FALSE(w.TextProgress()->isVisible());
  EXPECT_TRUE(w.IdleProgress()->isVisible());
  for (int id : {IDC_OPEN, IDC_RUN, IDC_TODM, IDC_INFO}) EXPECT_TRUE(w.IsEnabled(id)) << id;
  EXPECT_FALSE(w.IsEnabled(IDC_STOP));
  // The erase's wait cursor and mouse capture are given back.
  EXPECT_EQ(session->Services().WaitCursorDepth(), 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(session->Services().IsCaptured());
  EXPECT_EQ(w.TextProgress()->Ctrl().GetPos(), (0x10000 - 0x4000) / 4096);  // every block acknowledged

  // The window's downloads go into the same record as the command line's.
  const auto rows = Recorded();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].outcome, "completed");
  EXPECT_EQ(rows[0].exit, 0);
  EXPECT_EQ(rows[0].device, Pty());  // COM1's device
  EXPECT_EQ(rows[0].image, path);
  EXPECT_EQ(rows[0].type, "normal");
  EXPECT_EQ(rows[0].speed, 115200);
  EXPECT_EQ(rows[0].imageVersion, "203");
  EXPECT_EQ(rows[0].phoneSw.rfind("Ver02.03", 0), 0u) << rows[0].phoneSw;

  session.reset();
  StopSim();
  const std::string flash = ReadWholeFile(dir + "/flash.bin");
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin() + 0x4000, image.end(), flash.begin() + 0x4000,
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
}

TEST_F(WindowDownloadTest, AHangUpDuringTheEraseGivesTheCursorAndTheMouseBack) {
  StartSim("rev=203; hangup=erase:1");
  StartWindow();
  ChooseFile(MakeImage(0x10000, 0x4000, 203, "image.bin"));
  Click(IDC_OPEN);
  Click(IDC_RUN);
  // The erase request goes out with the wait cursor up; the handset goes away on it.
  ASSERT_TRUE(WaitFor([&] { return session->Services().WaitCursorDepth() > 0; }, 60000)) << LogText();
  ASSERT_TRUE(WaitFor([&] { return !session->Dlg().View().linkRunning; }, 30000)) << LogText();
  EXPECT_EQ(session->Services().WaitCursorDepth(), 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(session->Services().IsCaptured());
  CTarviselWindow& w = session->Window();
  for (int id : {IDC_OPEN, IDC_RUN, IDC_TODM, IDC_INFO}) EXPECT_TRUE(w.IsEnabled(id)) << id;
  const auto rows = Recorded();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].outcome, "line-broke");
  EXPECT_EQ(rows[0].exit, 5);
}

}  // namespace
