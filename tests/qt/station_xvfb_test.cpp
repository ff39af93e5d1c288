// The station window on a real X server (ctest runs it once under xvfb-run), driven by clicks:
// four simulated handsets behind ptys, each a row added by path; Run flashes them at once. Three
// complete with their flash equal to the image; the silent one fails alone, its row red with
// "no reply", and a double click opens its log. And the version question answered in the window
// while another handset programs.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QComboBox>
#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QProgressBar>
#include <QTreeWidget>
#include <deque>
#include <set>
#include <filesystem>
#include <thread>

#include "SampleImage.h"
#include "StationWindow.h"
#include "Subprocess.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kStart = 0x4000;

TEST(StationXvfb, FourHandsetsByClicksTheSilentOneFailsAlone) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server (xvfb-run)";
  char tmpl[] = "/tmp/tarvisel-stxvfb-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::vector<uint8_t> image = sim::SampleImage(0x10000, kStart, 203, 7);
  sim::WriteImage(dir + "/fw.bin", image);

  // Download-mode handsets that answer at once; the fourth hears nothing.
  const std::vector<std::pair<std::string, std::string>> handsets = {
      {"h1", "start=download; erase-ms=100"}, {"h2", "start=download; erase-ms=100"},
      {"h3", "start=download; erase-ms=100"}, {"h4", "start=download; silent=any:*"}};
  std::vector<std::unique_ptr<CChild>> sims;
  std::deque<QString> toAdd;
  for (const auto& [name, scenario] : handsets) {
    const std::string link = dir + "/" + name;
    sims.push_back(std::make_unique<CChild>(std::vector<std::string>{TARVISEL_SIM_PATH, "--scenario", scenario, "--link",
                                                                     link, "--save-flash", link + ".flash", "--flash-size", "1M"},
                                            dir, "sim-" + name));
    for (int i = 0; i < 500 && !fs::exists(link); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(link)) << sims.back()->Err();
    toAdd.push_back(QString::fromStdString(link));
  }

  StationDialogs dialogs = DefaultStationDialogs();
  dialogs.openImage = [&](QWidget*) { return std::optional<QString>(QString::fromStdString(dir + "/fw.bin")); };
  dialogs.portPath = [&](QWidget*) -> std::optional<QString> {
    if (toAdd.empty()) return std::nullopt;
    const QString p = toAdd.front();
    toAdd.pop_front();
    return p;
  };
  CStationWindow window({TARVISEL_CLI_PATH, "", dir + "/history.sqlite", false}, dialogs);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  QTest::mouseClick(window.OpenButton(), Qt::LeftButton);
  window.TypeBox()->setCurrentIndex(window.TypeBox()->findText(QStringLiteral("EMERGENCY")));
  for (int i = 0; i < 4; ++i) QTest::mouseClick(window.AddButton(), Qt::LeftButton);
  ASSERT_EQ(window.Rows()->topLevelItemCount(), 4);
  ASSERT_TRUE(window.RunButton()->isEnabled());
  QTest::mouseClick(window.RunButton(), Qt::LeftButton);

  const bool ended = QTest::qWaitFor([&] {
    const StationCounts c = window.Runner().Model().Counts();
    return c.running == 0 && c.completed + c.failed == 4;
  }, 60000);
  ASSERT_TRUE(ended) << window.CountsLabel()->text().toStdString();
  EXPECT_EQ(window.CountsLabel()->text(), QStringLiteral("completed 3, failed 1, running 0"));
  for (const auto& [name, scenario] : handsets) {
    QTreeWidgetItem* item = window.ItemOf(dir + "/" + name);
    ASSERT_NE(item, nullptr) << name;
    const bool silent = name == "h4";
    EXPECT_EQ(item->text(CStationWindow::kResult).toStdString(), silent ? "\u2716 failed: no reply" : "\u2714 completed") << name;
    EXPECT_EQ(item->foreground(CStationWindow::kResult).color(), silent ? QColor(192, 0, 0) : QColor(0, 128, 0)) << name;
  }
  // A double click on the red row opens its log.
  QTreeWidgetItem* red = window.ItemOf(dir + "/h4");
  // On its port's text: the bar and the button of a row are widgets of their own.
  const QRect rect = window.Rows()->visualItemRect(red);
  const QPoint onPort(window.Rows()->header()->sectionViewportPosition(CStationWindow::kPort) + 10, rect.center().y());
  // An item view takes a double click on the item its press chose.
  QTest::mouseClick(window.Rows()->viewport(), Qt::LeftButton, {}, onPort);
  QTest::mouseDClick(window.Rows()->viewport(), Qt::LeftButton, {}, onPort);
  QTextEdit* log = window.LogViewOf(window.Runner().Model().FindDevice(dir + "/h4")->id);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->toPlainText().contains(QStringLiteral("응답이 없습니다."))) << log->toPlainText().toStdString();
  EXPECT_TRUE(window.TodayLabel()->text().isEmpty() || window.TodayLabel()->text().startsWith(QStringLiteral("today")));

  // The handsets save their flash as they end.
  for (auto& s : sims) {
    s->Signal(SIGTERM);
    EXPECT_EQ(s->Wait(20s), 0) << s->Err();
  }
  for (const auto& [name, scenario] : handsets) {
    const std::string flash = ReadWholeFile(dir + "/" + name + ".flash");
    const bool holds = flash.size() >= image.size() &&
                       std::equal(image.begin() + kStart, image.end(), flash.begin() + kStart,
                                  [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    EXPECT_EQ(holds, name != "h4") << name;
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// The version question on a real X server while another handset programs: it waits in the
// window, that handset's row moves on and its download takes as long as it took alone; then
// Yes to all flashes the one that asked.
TEST(StationXvfb, TheQuestionWaitsWhileAnotherHandsetPrograms) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server (xvfb-run)";
  char tmpl[] = "/tmp/tarvisel-stask-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  sim::WriteImage(dir + "/fw.bin", sim::SampleImage(0x9000, kStart, 203, 11));
  // DM handsets that go to download mode quickly; "ask" runs a version other than the image's,
  // "prog" the image's, its blocks slow enough that its programming lasts a second or two.
  const std::string quick = "erase-ms=100; dload-ms=100; jump-ms=50; reboot-ms=100; write-ms=300";
  std::vector<std::unique_ptr<CChild>> sims;
  for (const auto& [name, scenario] : std::vector<std::pair<std::string, std::string>>{
           {"prog", quick}, {"ask", quick + "; rev=999"}}) {
    const std::string link = dir + "/" + name;
    sims.push_back(std::make_unique<CChild>(
        std::vector<std::string>{TARVISEL_SIM_PATH, "--scenario", scenario, "--link", link, "--flash-size", "1M"}, dir,
        "sim-" + name));
    for (int i = 0; i < 500 && !fs::exists(link); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(link)) << sims.back()->Err();
  }
  const std::string prog = dir + "/prog", ask = dir + "/ask";
  std::deque<QString> toAdd = {QString::fromStdString(prog), QString::fromStdString(ask)};
  StationDialogs dialogs = DefaultStationDialogs();
  dialogs.openImage = [&](QWidget*) { return std::optional<QString>(QString::fromStdString(dir + "/fw.bin")); };
  dialogs.portPath = [&](QWidget*) -> std::optional<QString> {
    if (toAdd.empty()) return std::nullopt;
    const QString p = toAdd.front();
    toAdd.pop_front();
    return p;
  };
  CStationWindow window({TARVISEL_CLI_PATH, "", dir + "/history.sqlite", false}, dialogs);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::mouseClick(window.OpenButton(), Qt::LeftButton);
  const CStationModel& model = window.Runner().Model();
  const auto row = [&](const std::string& device) { return model.FindDevice(device); };

  // Alone first: how long its download takes without a question.
  QTest::mouseClick(window.AddButton(), Qt::LeftButton);
  QTest::mouseClick(window.RunButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return row(prog)->Tone() == RowTone::Completed; }, 60000))
      << row(prog)->ResultText();
  const double alone = row(prog)->status.elapsedS;

  QTest::mouseClick(window.AddButton(), Qt::LeftButton);
  QTest::mouseClick(window.RunButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.QuestionBar()->isVisible(); }, 30000)) << row(ask)->ResultText();
  EXPECT_TRUE(window.QuestionLabel()->text().contains(QString::fromStdString(ask + ": handset version 999")))
      << window.QuestionLabel()->text().toStdString();
  EXPECT_TRUE(window.QuestionLabel()->text().contains(QStringLiteral("image version 203")));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // Unanswered, while the other handset programs: its bar moves on screen.
  auto* bar = qobject_cast<QProgressBar*>(window.Rows()->itemWidget(window.ItemOf(prog), CStationWindow::kProgress));
  ASSERT_NE(bar, nullptr);
  std::set<int> seen;
  const bool done = QTest::qWaitFor([&] {
    if (window.QuestionBar()->isVisible() && bar->value() > 0) seen.insert(bar->value());
    return row(prog)->Tone() == RowTone::Completed || row(prog)->Tone() == RowTone::Failed;
  }, 60000);
  ASSERT_TRUE(done);
  EXPECT_EQ(row(prog)->Tone(), RowTone::Completed) << row(prog)->ResultText();
  EXPECT_TRUE(window.QuestionBar()->isVisible()) << "still unanswered";
  EXPECT_GE(seen.size(), 3u) << "the row moved while the question waited";
  EXPECT_EQ(bar->value(), 100);
  const double withQuestion = row(prog)->status.elapsedS;
  EXPECT_LT(withQuestion, alone * 1.5 + 1.0) << "alone " << alone << " s";

  // Yes to all: the handset that asked is flashed.
  QTest::mouseClick(window.YesToAllButton(), Qt::LeftButton);
  EXPECT_FALSE(window.QuestionBar()->isVisible());
  ASSERT_TRUE(QTest::qWaitFor([&] { return row(ask)->Tone() == RowTone::Completed || row(ask)->Tone() == RowTone::Failed; },
                              60000));
  EXPECT_EQ(row(ask)->Tone(), RowTone::Completed) << row(ask)->ResultText();
  EXPECT_EQ(window.ItemOf(ask)->text(CStationWindow::kPhase), QStringLiteral("done"));

  for (auto& s : sims) {
    s->Signal(SIGTERM);
    EXPECT_EQ(s->Wait(20s), 0) << s->Err();
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
