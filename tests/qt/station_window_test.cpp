// The station window over events fed into its rows (no handset processes): what each row shows
// (its state by tint and by a word, phase, bar, time, long names), Run again only on a failed row
// that is there, the counts, a row's log with its colours and time stamps, and the version
// question asked once for all in the window while the other rows go on.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStyle>
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
  QPushButton* Again(QTreeWidgetItem* item) { return window->RunAgainButton(item); }

  std::unique_ptr<CStationWindow> window;
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
  EXPECT_EQ(a->text(CStationWindow::kResult), QStringLiteral("\u2714 completed"));
  EXPECT_EQ(a->foreground(CStationWindow::kResult).color(), QColor(0, 128, 0));
  EXPECT_EQ(a->text(CStationWindow::kTime), QStringLiteral("1:05"));
  EXPECT_EQ(Bar(a)->value(), 100);
  EXPECT_EQ(b->text(CStationWindow::kResult), QStringLiteral("\u2716 failed: no reply"));
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
  QTest::mouseClick(Again(b), Qt::LeftButton);
  EXPECT_FALSE(Model().Find(ids[1])->running);
  ASSERT_TRUE(window->TakeImage(QString::fromStdString(ImagePath())));
  QTest::mouseClick(Again(b), Qt::LeftButton);
  EXPECT_TRUE(Model().Find(ids[1])->running);
  EXPECT_EQ(b->text(CStationWindow::kResult), QStringLiteral("\u25B6 running"));
  EXPECT_EQ(window->CountsLabel()->text(), QStringLiteral("completed 1, failed 1, running 2"));
  // Its open log starts again with the new download.
  EXPECT_TRUE(log->toPlainText().isEmpty()) << log->toPlainText().toStdString();
}

// The question waits in the window, naming the first handset's port and both versions, while a
// third handset's row goes on; Yes to all starts both declined rows again, once.
TEST_F(StationWindowTest, TheQuestionIsAskedInTheWindowWhileTheOtherRowsGoOn) {
  ASSERT_TRUE(window->TakeImage(QString::fromStdString(ImagePath())));
  const std::vector<std::string> devs = {"/dev/pts/91", "/dev/pts/92", "/dev/pts/93"};
  for (const auto& d : devs) Model().AddPath(d);
  const auto ids = RunFed();
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_TRUE(window->QuestionBar()->isHidden());
  for (size_t i = 0; i < 2; ++i) {
    Feed(ids[i], {Ev(devs[i], "phone", {{"sw", "SWTEXT"}, {"compiled", ""}, {"pcb", ""}, {"revision", 999 + i}}),
                  Ev(devs[i], "log", {{"kind", "message"}, {"text", "S/W version is different. Downloading continue? -> No (--no)"}}),
                  Ev(devs[i], "finished", {{"outcome", "declined"}, {"exit", 4}, {"elapsed_s", 1}})});
    Model().Ended(ids[i]);
  }
  const auto progress = [&](int block) {
    Feed(ids[2], {Ev(devs[2], "phase", {{"name", "programming"}}),
                  Ev(devs[2], "progress", {{"block", block}, {"blocks", 100}, {"address", 0}, {"bytes", 0},
                                           {"bytes_per_s", 11000}, {"eta_s", 5}})});
    window->Pump();
    return Bar(window->ItemOf(devs[2]))->value();
  };
  EXPECT_EQ(progress(10), 10);
  ASSERT_TRUE(window->QuestionBar()->isVisibleTo(window.get()));
  EXPECT_EQ(window->QuestionLabel()->text(),
            QStringLiteral("S/W version is different. Downloading continue?\n"
                           "/dev/pts/91: handset version 999 (S/W SWTEXT), image version 203 (2 handsets wait for this answer)"));
  EXPECT_EQ(window->ItemOf(devs[0])->text(CStationWindow::kResult), QStringLiteral("? answer needed"));
  EXPECT_EQ(window->ItemOf(devs[0])->background(CStationWindow::kPort).color(), RowTint(RowTone::Waiting));
  // No box holds the window: the third row moves while the question waits.
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(progress(40), 40);
  EXPECT_EQ(progress(70), 70);
  EXPECT_TRUE(window->QuestionBar()->isVisibleTo(window.get()));

  QTest::mouseClick(window->YesToAllButton(), Qt::LeftButton);
  EXPECT_TRUE(window->QuestionBar()->isHidden());
  EXPECT_EQ(window->AnswerBox()->currentText(), QStringLiteral("Yes"));
  const auto args = window->Runner().CommandFor("/dev/pts/91");
  EXPECT_NE(std::find(args.begin(), args.end(), "--yes"), args.end()) << "the rest of the session's handsets: Yes";
  // Both declined rows start again; the question is not asked again.
  EXPECT_EQ(Model().Counts(), (StationCounts{0, 0, 3}));
  window->Pump();
  EXPECT_TRUE(window->QuestionBar()->isHidden());
}

// However it is answered (its buttons, or "Version differs" set while it waits), the question
// goes and the waiting row either starts again or fails declined.
TEST_F(StationWindowTest, EachWayOfAnsweringEndsTheWait) {
  struct Case {
    const char* how;
    bool yes;
  };
  for (const Case& c : {Case{"Yes to all", true}, Case{"No to all", false}, Case{"box Yes", true}, Case{"box No", false}}) {
    SCOPED_TRACE(c.how);
    SetUp();
    Model().AddPath("/dev/pts/95");
    const auto ids = RunFed();
    Feed(ids[0], {Ev("/dev/pts/95", "finished", {{"outcome", "declined"}, {"exit", 4}, {"elapsed_s", 1}})});
    Model().Ended(ids[0]);
    window->Pump();
    ASSERT_TRUE(window->QuestionBar()->isVisibleTo(window.get()));
    EXPECT_TRUE(window->QuestionLabel()->text().contains(QStringLiteral("/dev/pts/95: handset version ?")));
    const std::string how = c.how;
    if (how == "Yes to all") QTest::mouseClick(window->YesToAllButton(), Qt::LeftButton);
    if (how == "No to all") QTest::mouseClick(window->NoToAllButton(), Qt::LeftButton);
    if (how == "box Yes") window->AnswerBox()->setCurrentIndex(1);
    if (how == "box No") window->AnswerBox()->setCurrentIndex(2);
    EXPECT_TRUE(window->QuestionBar()->isHidden());
    EXPECT_EQ(window->AnswerBox()->currentText(), c.yes ? QStringLiteral("Yes") : QStringLiteral("No"));
    EXPECT_EQ(window->ItemOf("/dev/pts/95")->text(CStationWindow::kResult),
              c.yes ? QStringLiteral("\u25B6 running") : QStringLiteral("\u2716 failed: declined"));
    EXPECT_EQ(Model().Counts(), c.yes ? (StationCounts{0, 0, 1}) : (StationCounts{0, 1, 0}));
  }
}

// A row read from across the room: its whole width tinted by its state and a word saying it, the
// bar green at 100 % or red where it stopped, the phase "done" or where it failed, a long port
// name elided in its middle with the whole name in its tooltip, and a result never cut.
TEST_F(StationWindowTest, ARowIsReadableAtAGlance) {
  const std::string longName =
      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_Quad_Channel_Adapter_With_A_Long_Name_A50285BI-if00-port0";
  const std::vector<std::string> devs = {longName, "/dev/pts/71", "/dev/pts/72", "/dev/pts/73"};
  for (const auto& d : devs) Model().AddPath(d);
  const auto ids = RunFed();
  ASSERT_EQ(ids.size(), 4u);
  const auto programTo = [&](size_t i, int block) {
    Feed(ids[i], {Ev(devs[i], "phase", {{"name", "erase"}}), Ev(devs[i], "phase", {{"name", "programming"}}),
                  Ev(devs[i], "progress", {{"block", block}, {"blocks", 100}, {"address", 0}, {"bytes", 0},
                                           {"bytes_per_s", 11000}, {"eta_s", 5}})});
  };
  for (size_t i : {0, 1, 3}) programTo(i, 50);
  Feed(ids[0], {Ev(devs[0], "phase", {{"name", "jump"}}),
                Ev(devs[0], "finished", {{"outcome", "completed"}, {"exit", 0}, {"elapsed_s", 12}})});
  Feed(ids[1], {Ev(devs[1], "finished", {{"outcome", "handset-refused"}, {"exit", 1}, {"elapsed_s", 12}})});
  Feed(ids[2], {Ev(devs[2], "finished", {{"outcome", "port"}, {"exit", 3}, {"elapsed_s", 0}})});
  for (size_t i = 0; i < 3; ++i) Model().Ended(ids[i]);
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  window->Pump();
  QTest::qWait(50);  // the view lays its rows and their widgets out

  struct Want {
    RowTone tone;
    QString result, phase;
    int percent;
  };
  const std::vector<Want> wants = {
      {RowTone::Completed, QStringLiteral("\u2714 completed"), QStringLiteral("done"), 100},
      {RowTone::Failed, QStringLiteral("\u2716 failed: handset refused"), QStringLiteral("programming"), 50},
      {RowTone::Failed, QStringLiteral("\u2716 failed: port not opened"), QStringLiteral("starting"), 0},
      {RowTone::Running, QStringLiteral("\u25B6 running"), QStringLiteral("programming"), 50}};
  QTreeWidget* rows = window->Rows();
  for (size_t i = 0; i < wants.size(); ++i) {
    SCOPED_TRACE(devs[i]);
    QTreeWidgetItem* item = window->ItemOf(devs[i]);
    const Want& w = wants[i];
    EXPECT_EQ(item->text(CStationWindow::kResult), w.result);
    EXPECT_EQ(item->text(CStationWindow::kPhase), w.phase);
    // As laid out on the screen: Run again on the failed rows alone.
    EXPECT_EQ(Again(item)->isVisibleTo(window.get()), w.tone == RowTone::Failed);
    for (int c = 0; c < CStationWindow::kColumns; ++c)
      EXPECT_EQ(item->background(c).color(), RowTint(w.tone)) << "column " << c;
    // The result is never cut: its column holds it whole.
    const int room = rows->columnWidth(CStationWindow::kResult) - 2 * rows->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) - 4;
    QFont font = item->font(CStationWindow::kResult);
    EXPECT_LE(QFontMetrics(font).horizontalAdvance(w.result), room);
    // The bar as drawn: its filled part in the end's colour, or the style's own while it runs.
    QProgressBar* bar = Bar(item);
    EXPECT_EQ(bar->value(), w.percent);
    const QImage drawn = bar->grab().toImage();
    const QColor filled = drawn.pixelColor(4, drawn.height() - 4);
    if (w.percent == 0) continue;
    if (BarColour(w.tone).isValid()) EXPECT_EQ(filled, BarColour(w.tone));
    else EXPECT_NE(filled, BarColour(RowTone::Failed));
    if (w.percent == 50) {
      // Past where it stopped the bar is empty, not filled.
      EXPECT_NE(drawn.pixelColor(drawn.width() - 4, drawn.height() - 4), filled);
    }
  }
  // Tinted and worded differently: no two states look alike.
  EXPECT_NE(RowTint(RowTone::Completed), RowTint(RowTone::Failed));
  EXPECT_NE(RowTint(RowTone::Running), RowTint(RowTone::Waiting));

  // The long name: elided in its middle (the maker and the serial both stay), whole in its tooltip.
  QTreeWidgetItem* longItem = window->ItemOf(longName);
  EXPECT_EQ(rows->textElideMode(), Qt::ElideMiddle);
  EXPECT_EQ(longItem->toolTip(CStationWindow::kPort), QString::fromStdString(longName));
  const QString shown = rows->fontMetrics().elidedText(longItem->text(CStationWindow::kPort), rows->textElideMode(),
                                                       rows->columnWidth(CStationWindow::kPort));
  // A link of /dev/serial/by-id goes by its own name: the folder is every such row's.
  EXPECT_TRUE(longItem->text(CStationWindow::kPort).startsWith(QStringLiteral("usb-FTDI_FT232R")));
  EXPECT_TRUE(shown.startsWith(QStringLiteral("usb-FTDI"))) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(QStringLiteral("A50285BI-if00-port0"))) << shown.toStdString();
  EXPECT_LT(shown.size(), longItem->text(CStationWindow::kPort).size()) << "the column is narrower than the name";
  EXPECT_EQ(window->ItemOf("/dev/pts/71")->text(CStationWindow::kPort), QStringLiteral("/dev/pts/71"));
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
