// The window's log view, its two ways in, the command buttons, the data exchange and the
// progress-bar pair.
#include <gtest/gtest.h>

#include "support/DlgFixture.h"
#include "support/DlgProbe.h"
#include "support/TraceCapture.h"

namespace {

using DlgLogTest = DlgFixture;

TEST_F(DlgLogTest, AppendedTextsEachStartOnANewLineBoldInTheirColour) {
  dlg->AppendLog(kColorRed, "a");
  dlg->AppendLog(kColorBlue, "b");
  EXPECT_EQ(Log(), "\na\nb");
  auto runs = LogRuns();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], (RichTextRun{"\na", kColorRed, true}));
  EXPECT_EQ(runs[1], (RichTextRun{"\nb", kColorBlue, true}));
}

TEST_F(DlgLogTest, QueuedTextsShowInTheColourOfTheirKindWhenTheirMessageIsHandled) {
  g_bRxRun = true;
  const struct {
    int32_t kind;
    uint32_t color;
  } kinds[] = {{1, kColorBlue}, {3, kColorRed}, {4, kColorBlack}, {0, kColorBlue}, {2, kColorBlue}, {9, kColorBlue}};
  for (const auto& k : kinds) dlg->QueueLog(k.kind, "kind " + std::to_string(k.kind));
  EXPECT_EQ(Log(), "") << "nothing shows before the window takes the messages";
  ASSERT_TRUE(win.RunUntilIdle(0));
  auto runs = LogRuns();
  ASSERT_EQ(runs.size(), std::size(kinds));
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].text, "\nkind " + std::to_string(kinds[i].kind));
    EXPECT_EQ(runs[i].colorBgr, kinds[i].color) << kinds[i].kind;
  }
}

TEST_F(DlgLogTest, QueuedTextsAreDroppedWhileTheLinkIsStopped) {
  g_bRxRun = false;
  dlg->QueueLog(1, "unseen");
  dlg->AppendLog(kColorBlue, "seen");
  ASSERT_TRUE(win.RunUntilIdle(0));
  EXPECT_EQ(Log(), "\nseen");
  CQTextEntry e;
  EXPECT_FALSE(dlg->TextQ().Get(e)) << "the message took its entry out";
}

TEST_F(DlgLogTest, AFullQueuePostsNothingAndLosesOnlyTheNewText) {
  g_bRxRun = true;
  for (int i = 0; i < 101; ++i) dlg->QueueLog(4, std::to_string(i));
  EXPECT_EQ(win.QueuedMessages(), 100u);
  ASSERT_TRUE(win.RunUntilIdle(0));
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "\n" + std::to_string(i);
  EXPECT_EQ(Log(), expected);
}

TEST_F(DlgLogTest, MessagesWhoseTextsWereResetShowNothing) {
  g_bRxRun = true;
  CTraceCapture trace;
  dlg->QueueLog(1, "x");
  dlg->QueueLog(1, "y");
  dlg->QueueLog(1, "z");
  dlg->TextQ().Reset();
  ASSERT_TRUE(win.RunUntilIdle(0));
  EXPECT_EQ(Log(), "");
  std::string t = trace.Text();
  int empties = 0;
  for (size_t at = t.find("text Queue is empty\n"); at != std::string::npos; at = t.find("text Queue is empty\n", at + 1))
    ++empties;
  EXPECT_EQ(empties, 3);
}

TEST_F(DlgLogTest, ButtonsFollowTheirFlagsInOrder) {
  const int ids[] = {IDC_OPEN, IDC_RUN, IDC_TODM, IDC_INFO, IDC_STOP};
  for (int only = 0; only < 5; ++only) {
    bool f[5] = {};
    f[only] = true;
    dlg->EnableButtons(f[0], f[1], f[2], f[3], f[4]);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(win.Controls().IsEnabled(ids[i]), i == only) << only << " " << i;
  }
}

TEST_F(DlgLogTest, ValuesMoveToAndFromTheControlsAllAtOnce) {
  CTarviselDlgProbe p(*dlg);
  p.BinPath() = "/fw/a.bin";
  p.FileVerText() = "-2";
  p.Size() = 4294967295u;
  p.Type() = 4;
  p.PortIdx() = 1;
  p.SpeedIdx() = 0;
  p.Status() = "Addr = 0x10000";
  p.PcbVer() = "pcb";
  p.SwVer() = "sw";
  p.Compiled() = "when";
  dlg->UpdateData(false);
  CMemoryControls& c = win.Controls();
  EXPECT_EQ(c.GetText(IDC_BIN_PATH), "/fw/a.bin");
  EXPECT_EQ(c.GetText(IDC_FILE_VERSION), "-2");
  EXPECT_EQ(c.GetText(IDC_SIZE), "4294967295");
  EXPECT_EQ(c.GetComboSel(IDC_TYPE), 4);
  EXPECT_EQ(c.GetComboSel(IDC_PORT), 1);
  EXPECT_EQ(c.GetComboSel(IDC_SPEED), 0);
  EXPECT_EQ(c.GetText(IDC_STATUS), "Addr = 0x10000");
  EXPECT_EQ(c.GetText(IDC_PCB_VERSION), "pcb");
  EXPECT_EQ(c.GetText(IDC_SW_VERSION), "sw");
  EXPECT_EQ(c.GetText(IDC_COMPILED), "when");

  c.SetComboSel(IDC_TYPE, 2);
  c.SetComboSel(IDC_PORT, 0);
  c.SetComboSel(IDC_SPEED, 1);
  c.SetText(IDC_SIZE, "123");
  dlg->UpdateData(true);
  EXPECT_EQ(p.Type(), 2);
  EXPECT_EQ(p.PortIdx(), 0);
  EXPECT_EQ(p.SpeedIdx(), 1);
  EXPECT_EQ(p.Size(), 123u);
  EXPECT_EQ(p.BinPath(), "/fw/a.bin");

  // A selection outside the lists shows none and pulls back as -1.
  p.PortIdx() = 7;
  dlg->UpdateData(false);
  dlg->UpdateData(true);
  EXPECT_EQ(p.PortIdx(), -1);
}

TEST_F(DlgLogTest, OneProgressBarIsShownAtATime) {
  for (bool programming : {true, false, true}) {
    dlg->ShowProgramming(programming);
    EXPECT_EQ(win.Controls().IsShown(IDC_PROGRESS), programming);
    EXPECT_EQ(win.Controls().IsShown(IDC_PROGRESS_IDLE), !programming);
  }
}

}  // namespace
