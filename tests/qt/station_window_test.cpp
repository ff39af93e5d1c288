// The station window over events fed into its rows (no handset processes): what each row shows
// (phase, bar, result in colour, time), Run again only on a failed row that is there, the counts,
// a row's log with its colours and time stamps, and the version question asked once for all.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

#include <nlohmann/json.hpp>

#include <filesystem>

#include "SampleImage.h"
#include "QtWindowServices.h"
#include "StationWindow.h"
#include "TarviselWindow.h"

namespace {

using json = nlohmann::ordered_json;

std::string Ev(const std::string& device, const char* event, json body = json::object()) {
  json e = {{"v", 1}, {"t", 0.5}, {"device", device}, {"event", event}};
  for (auto& [k, v] : body.items()) e[k] = v;
  return e.dump();
}

class StationWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StationDialogs dialogs = DefaultStationDialogs();
    dialogs.yesToAll = [this](QWidget*, const QString& q) {
      questions.push_back(q.toStdString());
      return true;
    };
    // No folder, no record, and no program: these rows get their events from the test.
    window = std::make_unique<CStationWindow>(StationRunnerSetup{"/nonexistent/tarvisel-cli", "", "", true}, dialogs);
  }
  void TearDown() override {
    window.reset();
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
  // A small image that Open takes.
  std::string ImagePath() {
    char tmpl[] = "/tmp/tarvisel-stwin-XXXXXX";
    if (dir.empty() && mkdtemp(tmpl)) dir = tmpl;
    const std::string path = dir + "/fw.bin";
    sim::WriteImage(path, sim::SampleImage(0x8000, 0x4000, 203, 1));
    return path;
  }
  CStationModel& Model() { return window->Runner().Model(); }
  // Starts the rows as Run does, without processes.
  std::vector<uint64_t> RunFed() {
    Model().Run();
    return Model().TakeStarts(window->Runner().Now());
  }
  void Feed(uint64_t id, const std::vector<std::string>& lines) {
    for (const auto& l : lines) Model().Line(id, l, "2026-12-09 09:15:02.125");
  }
  QProgressBar* Bar(QTreeWidgetItem* item) {
    return qobject_cast<QProgressBar*>(window->Rows()->itemWidget(item, CStationWindow::kProgress));
  }
  QWidget* Again(QTreeWidgetItem* item) { return window->Rows()->itemWidget(item, CStationWindow::kAction); }

  std::unique_ptr<CStationWindow> window;
  std::vector<std::string> questions;
  std::string dir;
};

TEST_F(StationWindowTest, RowsShowProgressAndResultsInColour) {
  const std::vector<std::string> devs = {"/dev/pts/81", "/dev/pts/82", "/dev/pts/83"};
  for (const auto& d : devs) Model().AddPath(d);
  const auto ids = RunFed();
  ASSERT_EQ(ids.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    Feed(ids[i], {Ev(devs[i], "started"), Ev(devs[i], "phase", {{"name", "programming"}}),
                  Ev(devs[i], "progress", {{"block", 24}, {"blocks", 64}, {"address", 0x1c000}, {"bytes", 98304},
                                           {"bytes_per_s", 11000}, {"eta_s", 5}})});
  window->Pump();
  QTreeWidgetItem* a = window->ItemOf(devs[0]);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Bar(a)->value(), 37);
  EXPECT_EQ(Bar(a)->text(), QStringLiteral("37%"));
  EXPECT_EQ(a->text(CStationWindow::kPhase), QStringLiteral("programming"));
  EXPECT_EQ(window->CountsLabel()->text(), QStringLiteral("completed 0, failed 0, running 3"));

  Feed(ids[0], {Ev(devs[0], "finished", {{"outcome", "completed"}, {"exit", 0}, {"elapsed_s", 65.2}})});
  Feed(ids[1], {Ev(devs[1], "log", {{"kind", "info"}, {"text", "Flash erase"}}),
                Ev(devs[1], "log", {{"kind", "error"}, {"text", "응답이 없습니다."}}),
                Ev(devs[1], "finished", {{"outcome", "no-reply"}, {"exit", 1}, {"elapsed_s", 12}})});
  Model().Ended(ids[0]);
  Model().Ended(ids[1]);
  window->Pump();
  QTreeWidgetItem* b = window->ItemOf(devs[1]);
  EXPECT_EQ(a->text(CStationWindow::kResult), QStringLiteral("completed"));
  EXPECT_EQ(a->foreground(CStationWindow::kResult).color(), QColor(0, 128, 0));
  EXPECT_EQ(a->text(CStationWindow::kTime), QStringLiteral("1:05"));
  EXPECT_EQ(Bar(a)->value(), 100);
  EXPECT_EQ(b->text(CStationWindow::kResult), QStringLiteral("failed: no reply"));
  EXPECT_EQ(b->foreground(CStationWindow::kResult).color(), QColor(192, 0, 0));
  // Run again: on the failed row only.
  EXPECT_FALSE(Again(a)->isVisibleTo(window.get()));
  EXPECT_TRUE(Again(b)->isVisibleTo(window.get()));
  EXPECT_FALSE(Again(window->ItemOf(devs[2]))->isVisibleTo(window.get()));
  EXPECT_EQ(window->CountsLabel()->text(), QStringLiteral("completed 1, failed 1, running 1"));

  // The failed row's log, coloured as the main window's, with its time stamps.
  window->Rows()->setCurrentItem(b);
  emit window->Rows()->itemDoubleClicked(b, CStationWindow::kPort);
  QTextEdit* log = window->LogViewOf(ids[1]);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->toPlainText().contains(QStringLiteral("2026-12-09 09:15:02.125 응답이 없습니다.")));
  const QString html = log->toHtml();
  EXPECT_TRUE(html.contains(QStringLiteral("#ff0000"))) << html.toStdString();
  EXPECT_TRUE(html.contains(QStringLiteral("#0000ff"))) << html.toStdString();
  // Lines that come later follow in the open log.
  Feed(ids[2], {Ev(devs[2], "log", {{"kind", "step"}, {"text", "later"}})});
  emit window->Rows()->itemDoubleClicked(window->ItemOf(devs[2]), CStationWindow::kPort);
  Feed(ids[2], {Ev(devs[2], "log", {{"kind", "step"}, {"text", "later still"}})});
  window->Pump();
  EXPECT_TRUE(window->LogViewOf(ids[2])->toPlainText().contains(QStringLiteral("later still")));
  // Run again needs an image; then a click starts that row alone.
  QTest::mouseClick(qobject_cast<QPushButton*>(Again(b)), Qt::LeftButton);
  EXPECT_FALSE(Model().Find(ids[1])->running);
  ASSERT_TRUE(window->TakeImage(QString::fromStdString(ImagePath())));
  QTest::mouseClick(qobject_cast<QPushButton*>(Again(b)), Qt::LeftButton);
  EXPECT_TRUE(Model().Find(ids[1])->running);
  EXPECT_EQ(b->text(CStationWindow::kResult), QString());
  EXPECT_EQ(window->CountsLabel()->text(), QStringLiteral("completed 1, failed 1, running 2"));
  // Its open log starts again with the new download.
  EXPECT_TRUE(log->toPlainText().isEmpty()) << log->toPlainText().toStdString();
}

TEST_F(StationWindowTest, TheQuestionIsAskedOnceForAllAndRemembered) {
  const std::vector<std::string> devs = {"/dev/pts/91", "/dev/pts/92"};
  for (const auto& d : devs) Model().AddPath(d);
  const auto ids = RunFed();
  for (size_t i = 0; i < ids.size(); ++i) {
    Feed(ids[i], {Ev(devs[i], "log", {{"kind", "message"}, {"text", "S/W version is different. Downloading continue? -> No (--no)"}}),
                  Ev(devs[i], "finished", {{"outcome", "declined"}, {"exit", 4}, {"elapsed_s", 1}})});
    Model().Ended(ids[i]);
  }
  window->Pump();
  ASSERT_EQ(questions, (std::vector<std::string>{"S/W version is different. Downloading continue?"}));
  EXPECT_EQ(window->AnswerBox()->currentText(), QStringLiteral("Yes"));
  const auto args = window->Runner().CommandFor("/dev/pts/91");
  EXPECT_NE(std::find(args.begin(), args.end(), "--yes"), args.end()) << "the rest of the session's handsets: Yes";
  // Both declined rows start again.
  EXPECT_EQ(Model().Counts(), (StationCounts{0, 0, 2}));
  window->Pump();
  EXPECT_EQ(questions.size(), 1u);
}

TEST_F(StationWindowTest, RunNeedsAnImageAndTheImageIsShownAsTheMainWindowShowsIt) {
  EXPECT_FALSE(window->RunButton()->isEnabled());
  EXPECT_FALSE(window->TakeImage(QStringLiteral("/nonexistent/fw.bin")));
  EXPECT_FALSE(window->RunButton()->isEnabled());
  EXPECT_TRUE(window->ImageLabel()->text().contains(QStringLiteral("fw.bin")));
  EXPECT_TRUE(window->TakeImage(QString::fromStdString(ImagePath())));
  EXPECT_EQ(window->ImageLabel()->text(), QStringLiteral("fw.bin   Size 32768   Version 203"));
  EXPECT_TRUE(window->RunButton()->isEnabled());
}

// The main window's context menu opens the station where the application gives it the way.
TEST(StationMenu, TheMainWindowsContextMenuOpensTheStation) {
  CQtWindowServices services;
  CTarviselWindow window(services);
  services.AttachWindow(&window, &window);
  int opened = 0;
  window.SetStationOpener([&] { ++opened; });
  std::vector<std::string> entries;
  QTimer chooser;
  chooser.setInterval(20);
  QObject::connect(&chooser, &QTimer::timeout, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu || !menu->isVisible()) return;
    chooser.stop();
    for (QAction* action : menu->actions()) entries.push_back(action->text().toStdString());
    QTest::keyClick(menu, Qt::Key_Up);  // the last entry
    QTest::keyClick(menu, Qt::Key_Return);
  });
  chooser.start();
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), window.mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(&window, &event);
  EXPECT_EQ(entries, (std::vector<std::string>{"Tarvisel 정보(&A)...", "Tarvisel Station..."}));
  EXPECT_EQ(opened, 1);
}

}  // namespace

namespace {

// A scan (typed into the scan box, ended with Enter) fills the Unit cell of the selected row,
// else of the next row waiting for one.
TEST_F(StationWindowTest, AScanFillsTheUnitOfTheSelectedRowElseTheNextWaiting) {
  const uint64_t a = window->Runner().AddPath("/dev/ttyUSB0");
  const uint64_t b = window->Runner().AddPath("/dev/ttyUSB1");
  window->Pump();
  auto scan = [&](const QString& unit) {
    window->ScanBox()->setText(unit);
    emit window->ScanBox()->returnPressed();
  };
  auto unitOf = [&](uint64_t id) {
    return window->ItemOf(window->Runner().Model().Find(id)->device)->text(CStationWindow::kUnit).toStdString();
  };
  window->Rows()->setCurrentItem(window->ItemOf("/dev/ttyUSB1"));
  scan(QStringLiteral("SN-2"));
  EXPECT_EQ(unitOf(b), "SN-2");
  EXPECT_EQ(unitOf(a), "");
  scan(QStringLiteral("  SN-1 "));
  EXPECT_EQ(unitOf(a), "SN-1") << "nothing selected: the next row waiting";
  EXPECT_TRUE(window->ScanBox()->text().isEmpty()) << "ready for the next scan";
  scan(QStringLiteral("SN-3"));
  EXPECT_EQ(window->Runner().UnitsWaiting(), 1u) << "no row waits: the next that starts gets it";
}

}  // namespace
