// The window's menus: the last five images under Open (kept in the settings) and the log
// saved with its time stamps from the log view's menu.
#include <QAction>
#include <QFile>
#include <QMenu>
#include <QTextEdit>
#include <fstream>
#include <sstream>

#include <QComboBox>
#include <filesystem>

#include "Comm/LinkFlags.h"
#include "ControlIds.h"
#include "Registry.h"
#include "RecentImages.h"
#include "WindowFixture.h"

namespace {

using WindowMenusTest = WindowFixture;

std::vector<std::string> Entries(QMenu& menu) {
  std::vector<std::string> entries;
  for (QAction* action : menu.actions())
    if (!action->isSeparator()) entries.push_back(action->text().toStdString());
  return entries;
}

QAction* Entry(QMenu& menu, const std::string& text) {
  for (QAction* action : menu.actions())
    if (action->text().toStdString() == text) return action;
  return nullptr;
}

TEST_F(WindowMenusTest, RecentImagesKeepTheLastFiveNewestFirst) {
  const CRecentImages recent = CRecentImages::OfUser();
  EXPECT_TRUE(recent.List().empty());
  const struct {
    const char* add;
    std::vector<std::string> then;
  } steps[] = {
      {"/a.bin", {"/a.bin"}},
      {"/b.bin", {"/b.bin", "/a.bin"}},
      {"/a.bin", {"/a.bin", "/b.bin"}},  // again: to the front, once only
      {"/c.bin", {"/c.bin", "/a.bin", "/b.bin"}},
      {"/d.bin", {"/d.bin", "/c.bin", "/a.bin", "/b.bin"}},
      {"/e.bin", {"/e.bin", "/d.bin", "/c.bin", "/a.bin", "/b.bin"}},
      {"/f.bin", {"/f.bin", "/e.bin", "/d.bin", "/c.bin", "/a.bin"}},  // the oldest goes
      {"/c.bin", {"/c.bin", "/f.bin", "/e.bin", "/d.bin", "/a.bin"}},
  };
  for (const auto& step : steps) {
    EXPECT_TRUE(recent.Add(step.add));
    // Read back from the file, as the next start of the window would.
    EXPECT_EQ(CRecentImages::OfUser().List(), step.then) << step.add;
  }
  EXPECT_FALSE(recent.Add(""));
}

TEST_F(WindowMenusTest, OpensMenuOffersTheImagesOpenedAndOpensOneWithoutTheDialog) {
  StartHandset();
  StartWindow();
  CTarviselWindow& w = session->Window();
  EXPECT_EQ(Entries(*w.OpenMenu()), std::vector<std::string>{"(no image opened yet)"});
  const std::string first = MakeImage(0x10000, 0x4000, 203, "first.bin");
  const std::string second = MakeImage(0x20000, 0x4000, 204, "second.bin");
  for (const std::string& path : {first, second}) {
    ChooseFile(path);
    Click(IDC_OPEN);
    ASSERT_EQ(Text(IDC_BIN_PATH), path);
  }
  EXPECT_EQ(modals->fileDialogs, 2);
  std::unique_ptr<QMenu> menu = w.OpenMenu();
  EXPECT_EQ(Entries(*menu), (std::vector<std::string>{second, first}));
  QAction* older = Entry(*menu, first);
  ASSERT_NE(older, nullptr);
  older->trigger();
  EXPECT_EQ(Text(IDC_BIN_PATH), first);
  EXPECT_EQ(Text(IDC_SIZE), "65536");
  EXPECT_EQ(Text(IDC_FILE_VERSION), "203");
  EXPECT_EQ(modals->fileDialogs, 2) << "a recent image opens without the dialog";
  EXPECT_EQ(CRecentImages::OfUser().List(), (std::vector<std::string>{first, second}));
}

TEST_F(WindowMenusTest, TheLogIsSavedWithTheTimeOfEachLine) {
  StartHandset();
  StartWindow();
  CTarviselWindow& w = session->Window();
  QDateTime now(QDate(2026, 12, 9), QTime(5, 53, 1, 120));
  w.SetLogClock([&] { return now; });
  w.ClearRichText(IDC_LOG);
  EXPECT_FALSE(Entry(*w.LogMenu(), "Save log...")->isEnabled()) << "nothing to save";
  w.AppendRichText(IDC_LOG, "\n단말기 버젼 확인중", 0, true);
  now = now.addMSecs(1500);
  w.AppendRichText(IDC_LOG, "\nDownloading completed\nElapsed time : 0 min 2 sec", 0xFF0000, true);
  const std::string path = dir + "/saved.log";
  w.SetSaveLogPathAsker([&] { return QString::fromStdString(path); });
  std::unique_ptr<QMenu> menu = w.LogMenu();
  QAction* save = Entry(*menu, "Save log...");
  ASSERT_NE(save, nullptr);
  ASSERT_TRUE(save->isEnabled());
  save->trigger();
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "2026-12-09 05:53:01.120 단말기 버젼 확인중\n"
            "2026-12-09 05:53:02.620 Downloading completed\n"
            "2026-12-09 05:53:02.620 Elapsed time : 0 min 2 sec\n");
  // The view's own entries stay (copy, select all).
  EXPECT_GT(Entries(*menu).size(), 1u);
  EXPECT_FALSE(w.SaveLog(QString::fromStdString(dir + "/no-such-folder/x.log")));
}

// The Port list offers the serial ports present beside COM1 and COM2, each with the device it
// leads to; a device chosen is the link's, kept in the settings for the next start, while the
// engine's PORT stays as it was.
TEST_F(WindowMenusTest, ThePortListOffersTheSerialPortsAndKeepsTheChoice) {
  StartHandset();
  const std::string slave = handset->SlavePath();
  const std::string link = dir + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  std::filesystem::create_symlink(slave, link);
  portLister = [&](CDeviceFacts&) {
    return std::vector<SerialPortEntry>{
        {link, slave, UsbAdapter{"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "ftdi_sio", ""}},
        {"/dev/ttyUSB7", "", std::nullopt}};
  };
  // COM1 and COM2 lead nowhere: only the device reaches the handset.
  setenv("TARVISEL_COM1", (dir + "/nothing").c_str(), 1);
  setenv("TARVISEL_COM2", (dir + "/nothing").c_str(), 1);
  StartWindow();
  CTarviselWindow& w = session->Window();
  auto* combo = qobject_cast<QComboBox*>(w.Control(IDC_PORT));
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(w.GetComboItems(IDC_PORT),
            (std::vector<std::string>{"COM1", "COM2", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "/dev/ttyUSB7"}));
  const auto tip = [&](int i) { return combo->itemData(i, Qt::ToolTipRole).toString().toStdString(); };
  EXPECT_EQ(tip(0), "COM1 -> " + dir + "/nothing");
  EXPECT_EQ(tip(2), link + " -> " + slave + "\nUSB 0403:6001, FTDI, FT232R USB UART, serial A50285BI, driver ftdi_sio");
  EXPECT_EQ(tip(3), "/dev/ttyUSB7");
  EXPECT_FALSE(g_bRxRun) << "COM1 opened nothing";

  combo->setCurrentIndex(2);
  emit combo->activated(2);
  EXPECT_EQ(w.PortDevice(), link);
  EXPECT_EQ(session->Dlg().View().portIdx, 0) << "the engine's COM port is left as it was";
  EXPECT_EQ(w.GetComboSel(IDC_PORT), 0);
  EXPECT_EQ(CRegistry::ReadInt(CRegistry::kPort, -1), 0);

  // The next start opens the device chosen, shows it chosen, and the handset answers on it.
  session.reset();
  StartWindow();
  CTarviselWindow& again = session->Window();
  combo = qobject_cast<QComboBox*>(again.Control(IDC_PORT));
  EXPECT_EQ(combo->currentIndex(), 2);
  EXPECT_EQ(again.PortDevice(), link);
  EXPECT_TRUE(g_bRxRun);
  Click(IDC_INFO);
  EXPECT_TRUE(WaitFor([&] { return !Text(IDC_SW_VERSION).empty(); }, 15000)) << LogText();

  // COM2 chosen: the device is forgotten, the engine has its port again.
  combo->setCurrentIndex(1);
  emit combo->activated(1);
  EXPECT_EQ(again.PortDevice(), "");
  EXPECT_EQ(session->Dlg().View().portIdx, 1);
  EXPECT_EQ(CRegistry::ReadInt(CRegistry::kPort, -1), 1);
  session.reset();
  StartWindow();
  EXPECT_EQ(session->Window().PortDevice(), "");
  EXPECT_EQ(qobject_cast<QComboBox*>(session->Window().Control(IDC_PORT))->currentIndex(), 1);
}

}  // namespace
