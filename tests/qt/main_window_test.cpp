// The main window as a technician meets it: its controls after start-up, Open, closing, the
// About entry, and what the services do with pauses and posted messages.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include "Comm/LinkFlags.h"
#include "ControlIds.h"
#include "MainWindowLayout.h"
#include "Registry.h"
#include "TextProgressWidget.h"
#include "WindowFixture.h"

namespace {

using MainWindowTest = WindowFixture;

std::vector<std::string> Items(CTarviselWindow& w, int id) { return w.GetComboItems(id); }

TEST_F(MainWindowTest, StartsWithTheTemplateAndTheDefaultsOfAnEmptySettingsFile) {
  StartHandset();
  StartWindow();
  CTarviselWindow& w = session->Window();
  EXPECT_EQ(w.windowTitle().toStdString(), "Tarvisel ver 2.03");
  EXPECT_EQ(Items(w, IDC_PORT), (std::vector<std::string>{"COM1", "COM2"}));
  EXPECT_EQ(Items(w, IDC_SPEED), (std::vector<std::string>{"57600", "115200"}));
  EXPECT_EQ(Items(w, IDC_TYPE), (std::vector<std::string>{"NORMAL", "EMERGENCY", "FONT", "CHANGE(EMERGENCY)",
                                                          "CHANGE(NORMAL)"}));
  EXPECT_EQ(w.GetComboSel(IDC_PORT), 0);
  EXPECT_EQ(w.GetComboSel(IDC_SPEED), 1);
  EXPECT_EQ(w.GetComboSel(IDC_TYPE), 0);
  EXPECT_EQ(Text(IDC_SIZE), "0");
  for (int id : {IDC_BIN_PATH, IDC_FILE_VERSION, IDC_SW_VERSION, IDC_COMPILED, IDC_PCB_VERSION, IDC_STATUS, IDC_SPARE}) {
    EXPECT_EQ(Text(id), "") << id;
    auto* edit = qobject_cast<QLineEdit*>(w.Control(id));
    ASSERT_NE(edit, nullptr) << id;
    EXPECT_TRUE(edit->isReadOnly()) << id;
  }
  EXPECT_TRUE(qobject_cast<QLineEdit*>(w.Control(IDC_SIZE))->alignment() & Qt::AlignRight);
  const std::vector<std::pair<int, bool>> buttons = {
      {IDC_OPEN, true}, {IDC_RUN, false}, {IDC_TODM, true}, {IDC_INFO, true}, {IDC_STOP, false}};
  for (const auto& [id, enabled] : buttons) EXPECT_EQ(w.IsEnabled(id), enabled) << id;
  EXPECT_TRUE(w.IdleProgress()->isVisible());
  EXPECT_FALSE(w.TextProgress()->isVisible());
  for (int id : {1, 2}) {
    EXPECT_FALSE(w.Control(id)->isVisible()) << id;
    EXPECT_FALSE(w.Control(id)->isEnabled()) << id;
  }
  EXPECT_TRUE(g_bRxRun);  // the link runs from start-up on
  EXPECT_TRUE(modals->boxes.empty());
}

TEST_F(MainWindowTest, ControlsSitAtTheirDialogUnitPlacesInTheWindowFont) {
  StartHandset();
  StartWindow();
  CTarviselWindow& w = session->Window();
  const DialogUnitScale& s = w.Scale();
  EXPECT_EQ(w.size(), QSize(DialogX(s, kMainWindowWidthDu), DialogY(s, kMainWindowHeightDu)));
  EXPECT_EQ(w.Control(IDC_LOG)->geometry(), DialogRect(s, 7, 140, 256, 125));
  EXPECT_EQ(w.Control(IDC_BIN_PATH)->geometry(), DialogRect(s, 32, 16, 146, 14));
  EXPECT_EQ(w.Control(IDC_PROGRESS)->geometry(), w.Control(IDC_PROGRESS_IDLE)->geometry());
  // The image buttons take the size of their up image.
  EXPECT_EQ(w.Control(IDC_RUN)->size(), QSize(25, 23));
  EXPECT_EQ(w.Control(IDC_RUN)->pos(), DialogRect(s, 207, 8, 14, 17).topLeft());
  const QFontInfo font(w.font());
  EXPECT_EQ(font.pointSize(), 9);
  EXPECT_TRUE(font.family().contains(QStringLiteral("Nanum"), Qt::CaseInsensitive)) << font.family().toStdString();
}

TEST_F(MainWindowTest, OnlyTheFiveButtonsHaveToolTips) {
  StartHandset();
  StartWindow();
  CTarviselWindow& w = session->Window();
  const std::vector<std::pair<int, std::string>> tips = {{IDC_OPEN, "BIN 파일 열기"},
                                                         {IDC_RUN, "다운로딩 시작"},
                                                         {IDC_STOP, "다운로딩 취소"},
                                                         {IDC_INFO, "DM상태에서 단말기 정보 읽어옴"},
                                                         {IDC_TODM, "단말기 SIO를 DM으로.."},
                                                         {IDC_PORT, ""},
                                                         {IDC_LOG, ""}};
  for (const auto& [id, tip] : tips) EXPECT_EQ(w.Control(id)->toolTip().toStdString(), tip) << id;
}

struct StoredCase {
  int port, baud;
  int portSel, speedSel;
};

class StoredSettingsTest : public WindowFixture, public ::testing::WithParamInterface<StoredCase> {};

TEST_P(StoredSettingsTest, ComboBoxesShowTheStoredIndexes) {
  ASSERT_TRUE(CRegistry::WriteInt(CRegistry::kPort, GetParam().port));
  ASSERT_TRUE(CRegistry::WriteInt(CRegistry::kBaud, GetParam().baud));
  StartHandset();
  StartWindow();
  EXPECT_EQ(session->Window().GetComboSel(IDC_PORT), GetParam().portSel);
  EXPECT_EQ(session->Window().GetComboSel(IDC_SPEED), GetParam().speedSel);
  EXPECT_EQ(session->Window().GetComboSel(IDC_TYPE), 0);  // the type is never stored
}

INSTANTIATE_TEST_SUITE_P(Stored, StoredSettingsTest,
                         ::testing::Values(StoredCase{1, 0, 1, 0}, StoredCase{0, 1, 0, 1},
                                           StoredCase{7, 9, -1, -1}));

TEST_F(MainWindowTest, OpenTakesABinFileAndRemembersItsFolder) {
  StartHandset();
  StartWindow();
  const std::string fw = dir + "/fw";
  std::filesystem::create_directory(fw);
  image.clear();
  const std::string path = MakeImage(0x10000, 0x4000, 0xFFFFFFFE, "fw/a.BIN");
  ChooseFile(path);
  Click(IDC_OPEN);
  ASSERT_EQ(modals->fileDialogs, 1);
  EXPECT_EQ(fileDialogDirectory, QDir::homePath().toStdString());  // an empty BIN_PATH
  EXPECT_EQ(fileDialogFilters, (QStringList{QStringLiteral("Download Binary File (*.bin)"),
                                            QStringLiteral("All Files (*)")}));
  EXPECT_EQ(Text(IDC_BIN_PATH), path);
  EXPECT_EQ(Text(IDC_SIZE), "65536");
  EXPECT_EQ(Text(IDC_FILE_VERSION), "-2");
  EXPECT_EQ(CRegistry::ReadString(CRegistry::kBinPath), fw + "/");
  EXPECT_TRUE(session->Window().IsEnabled(IDC_RUN));
  EXPECT_FALSE(session->Window().IsEnabled(IDC_STOP));

  // The next Open starts where the last one ended.
  modals->onFileDialog = [this](QFileDialog& dialog) {
    fileDialogDirectory = dialog.directory().absolutePath().toStdString();
    dialog.reject();
  };
  Click(IDC_OPEN);
  EXPECT_EQ(fileDialogDirectory, fw);
  EXPECT_EQ(Text(IDC_BIN_PATH), path);  // cancelled: nothing changes
}

TEST_F(MainWindowTest, OpenRefusesAFileThatIsNotABinAndChangesNothing) {
  StartHandset();
  StartWindow();
  const std::string path = MakeImage(0x10000, 0x4000, 203, "a.txt");
  ChooseFile(path);
  Click(IDC_OPEN);
  ASSERT_EQ(modals->boxes.size(), 1u);
  EXPECT_EQ(modals->boxes[0].text, "다운로드용 파일이 아닙니다.");
  EXPECT_EQ(modals->boxes[0].caption, QCoreApplication::applicationName().toStdString());
  EXPECT_EQ(Text(IDC_BIN_PATH), "");
  EXPECT_EQ(Text(IDC_SIZE), "0");
  EXPECT_FALSE(session->Window().IsEnabled(IDC_RUN));
  EXPECT_EQ(CRegistry::ReadString(CRegistry::kBinPath), "");
}

TEST_F(MainWindowTest, EnterAndEscapeLeaveTheWindowOpenAndCloseStopsTheLinkFirst) {
  StartHandset();
  StartWindow();
  CTarviselWindow& w = session->Window();
  QTest::keyClick(&w, Qt::Key_Return);
  QTest::keyClick(&w, Qt::Key_Escape);
  QTest::qWait(50);
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(session->IsClosed());
  EXPECT_TRUE(g_bRxRun);
  w.close();
  EXPECT_TRUE(session->IsClosed());
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(g_bRxRun);
}

TEST_F(MainWindowTest, SelectingAPortStoresItAtOnce) {
  StartHandset();
  StartWindow();
  auto* combo = qobject_cast<QComboBox*>(session->Window().Control(IDC_PORT));
  ASSERT_NE(combo, nullptr);
  combo->setCurrentIndex(1);
  emit combo->activated(1);  // what a user's choice in the list sends
  EXPECT_EQ(CRegistry::ReadInt(CRegistry::kPort, -1), 1);
  auto* speed = qobject_cast<QComboBox*>(session->Window().Control(IDC_SPEED));
  speed->setCurrentIndex(0);
  emit speed->activated(0);
  EXPECT_EQ(CRegistry::ReadInt(CRegistry::kBaud, -1), 0);
}

TEST_F(MainWindowTest, TheAboutEntryShowsTheAboutBox) {
  StartHandset();
  StartWindow();
  session->Window().OnSysCommand(IDM_ABOUTBOX);
  session->Window().OnSysCommand(0xF060 & 0xFFF0);  // another system command: nothing here
  ASSERT_EQ(modals->otherDialogs.size(), 1u);
  EXPECT_EQ(modals->otherDialogs[0], "CAboutDlg");
}

// Without a system menu of the window's own, the entry is in the context menu.
TEST_F(MainWindowTest, TheContextMenuOffersTheAboutEntry) {
  StartHandset();
  StartWindow();
  CTarviselWindow& window = session->Window();
  std::vector<std::string> entries;
  // Look until the menu is up, however slowly it comes: a menu left open would hang the test.
  QTimer chooser;
  chooser.setInterval(20);
  QObject::connect(&chooser, &QTimer::timeout, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu || !menu->isVisible()) return;
    chooser.stop();
    for (QAction* action : menu->actions()) entries.push_back(action->text().toStdString());
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  chooser.start();
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), window.mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(&window, &event);
  EXPECT_EQ(entries, std::vector<std::string>{"Tarvisel 정보(&A)..."});
  ASSERT_EQ(modals->otherDialogs.size(), 1u);
  EXPECT_EQ(modals->otherDialogs[0], "CAboutDlg");
}

// The services alone, over an idle window.
class ServicesTest : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    window = std::make_unique<CTarviselWindow>(services);
    services.AttachWindow(window.get(), window.get());
    services.SetHandler([this](const WindowMessage& msg) {
      handled.push_back(msg.message == WM_TIMER ? 1000 + static_cast<int>(msg.wParam) : static_cast<int>(msg.message));
      if (onMessage) onMessage(msg);
    });
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }
  void TearDown() override {
    services.SetHandler({});
    services.AttachWindow(nullptr, nullptr);
    window.reset();
    WindowFixture::TearDown();
  }
  CQtWindowServices services;
  std::unique_ptr<CTarviselWindow> window;
  std::vector<int> handled;
  std::function<void(const WindowMessage&)> onMessage;
};

TEST_F(ServicesTest, APauseKeepsPaintingWhileMessagesAndTimersWait) {
  std::vector<int> duringPause;
  services.RunHandler([&] {
    services.PostMessage(WM_LOG_TEXT, 0, 0);
    services.SetTimer(7, 10);
    window->AppendRichText(IDC_LOG, "\nwaiting", 0xFF0000, true);
    const uint64_t before = services.ClockMs();
    services.Pause(300);
    EXPECT_GE(services.ClockMs() - before, 300u);
    duringPause = handled;
  });
  EXPECT_TRUE(duringPause.empty());
  EXPECT_GT(window->PaintsWhilePaused(), 0);
  // After the handler: the posted message first, then the timer that came due.
  ASSERT_TRUE(WaitFor([&] { return handled.size() >= 2; }, 2000));
  EXPECT_EQ(handled[0], static_cast<int>(WM_LOG_TEXT));
  EXPECT_EQ(handled[1], 1007);
  services.KillTimer(7);
}

TEST_F(ServicesTest, MessagesFromAnotherThreadArriveInOrderOneAtATime) {
  int depth = 0, deepest = 0;
  onMessage = [&](const WindowMessage&) {
    deepest = std::max(deepest, ++depth);
    services.Pause(1);  // a handler that pauses must not be entered again
    --depth;
  };
  std::thread producer([this] {
    for (int i = 0; i < 200; ++i) services.PostMessage(WM_USER + static_cast<uint32_t>(i % 2), 0, 0);
  });
  producer.join();
  ASSERT_TRUE(WaitFor([&] { return handled.size() == 200; }, 5000)) << handled.size();
  for (size_t i = 0; i < handled.size(); ++i) EXPECT_EQ(handled[i], static_cast<int>(WM_USER + i % 2));
  EXPECT_EQ(deepest, 1);
}

TEST_F(ServicesTest, AKilledTimerNeverFiresAndAResetOneKeepsOneId) {
  services.SetTimer(3, 20);
  services.SetTimer(4, 20);
  services.KillTimer(4);
  services.SetTimer(3, 30);  // replaces
  QTest::qWait(100);
  services.KillTimer(3);
  const int threes = static_cast<int>(std::count(handled.begin(), handled.end(), 1003));
  EXPECT_GE(threes, 1);
  EXPECT_LE(threes, 4);
  EXPECT_EQ(std::count(handled.begin(), handled.end(), 1004), 0);
}

TEST_F(ServicesTest, AClickDuringAHandlerWaitsForIt) {
  services.RunHandler([&] {
    services.SendCommand(IDC_RUN, BN_CLICKED);
    EXPECT_TRUE(handled.empty());
  });
  ASSERT_TRUE(WaitFor([&] { return !handled.empty(); }, 1000));
  EXPECT_EQ(handled[0], static_cast<int>(WM_COMMAND));
}

}  // namespace

namespace {

TEST_F(MainWindowTest, AFontRunAsksForTheParametersAndCancelBringsTheIdleButtonsBack) {
  StartHandset();
  StartWindow();
  const std::string path = MakeImage(0x20000, 0, 203, "font.bin");
  ChooseFile(path);
  Click(IDC_OPEN);
  auto* type = qobject_cast<QComboBox*>(session->Window().Control(IDC_TYPE));
  type->setCurrentIndex(TYPE_FONT);
  emit type->activated(TYPE_FONT);
  EXPECT_EQ(session->Dlg().View().type, TYPE_FONT);
  std::string title;
  modals->onOtherDialog = [&](QDialog& dialog) {
    title = dialog.windowTitle().toStdString();
    dialog.reject();
  };
  Click(IDC_RUN);
  ASSERT_EQ(modals->otherDialogs, (std::vector<std::string>{"CFontDialog"}));
  EXPECT_EQ(title, "FONT DOWNLOAD");
  // Nothing started: the window is ready for the next try, not stuck with Run off.
  for (int id : {IDC_OPEN, IDC_RUN, IDC_TODM, IDC_INFO}) EXPECT_TRUE(session->Window().IsEnabled(id)) << id;
  EXPECT_FALSE(session->Window().IsEnabled(IDC_STOP));
  EXPECT_FALSE(session->Window().TextProgress()->isVisible());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, TheLogViewShowsBoldColouredLinesAndFollowsTheNewest) {
  StartHandset();
  StartWindow();
  CTarviselDlg& dlg = session->Dlg();
  QTextEdit* log = session->Window().LogView();
  session->Window().ClearRichText(IDC_LOG);
  dlg.AppendLog(kColorBlue, "a");
  dlg.AppendLog(kColorRed, "b");
  dlg.AppendLog(kColorBlack, "c");
  EXPECT_EQ(log->toPlainText().toStdString(), "\na\nb\nc");
  const std::vector<std::pair<int, QColor>> lines = {{1, Qt::blue}, {2, Qt::red}, {3, Qt::black}};
  for (const auto& [block, colour] : lines) {
    QTextCursor cursor(log->document()->findBlockByNumber(block));
    cursor.movePosition(QTextCursor::NextCharacter);
    EXPECT_EQ(cursor.charFormat().foreground().color(), colour) << block;
    EXPECT_EQ(cursor.charFormat().fontWeight(), QFont::Bold) << block;
  }
  for (int i = 0; i < 100; ++i) dlg.AppendLog(kColorBlue, "line " + std::to_string(i));
  QScrollBar* bar = log->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

}  // namespace

namespace {

// A technician's Stop during one of the engine's pauses (Info waits 2 s before it asks): every
// other click waits for the pause as before, but Stop is heard at once, and nothing more goes
// to the handset.
TEST_F(MainWindowTest, StopClickedDuringAPauseSendsNothingMore) {
  StartHandset();
  StartWindow();
  QTimer watcher;
  bool clicked = false;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (clicked || !session->Services().IsPaused()) return;
    clicked = true;
    Click(IDC_RUN);  // a click that must wait for the pause, not be lost or handled in it
    Click(IDC_STOP);
  });
  watcher.start(20);
  Click(IDC_INFO);
  ASSERT_TRUE(WaitFor([&] { return LogText().find("Downloader stopped!!") != std::string::npos; }, 10000)) << LogText();
  watcher.stop();
  EXPECT_TRUE(clicked);
  QTest::qWait(1500);
  StopHandset();
  size_t versionRequests = 0;
  for (const auto& f : handset->Model().Records()) versionRequests += !f.bytes.empty() && f.bytes[0] == 0x00;
  EXPECT_EQ(versionRequests, 0u) << "the version request went after the Stop\n" << LogText();
  EXPECT_TRUE(modals->Saw("First, Select right bin file"))
      << "the Run clicked in the pause was handled after it (no image: refused)\n" << LogText();
}

}  // namespace
