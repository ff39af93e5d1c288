#pragma once
// A main window on virtual time, its link over the in-memory device.
#include <gtest/gtest.h>

#include <memory>

#include "Comm/LinkFlags.h"
#include "TarviselDlg.h"
#include "support/RecordingEvents.h"
#include "support/VirtualWindow.h"
#include "support/FakeSerialDevice.h"

class DlgFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto device = std::make_unique<CFakeSerialDevice>();
    dev = device.get();
    dlg = std::make_unique<CTarviselDlg>(win, &events, std::move(device));
  }
  void TearDown() override {
    dlg.reset();
    g_bRxRun = false;
    g_bCommOpen = false;
    EXPECT_TRUE(win.Failures().empty()) << win.JournalText();
  }
  std::string Log() { return win.Controls().LogPlainText(IDC_LOG); }
  std::vector<RichTextRun> LogRuns() { return win.Controls().LogRuns(IDC_LOG); }

  CVirtualWindow win;
  CRecordingEvents events;
  CFakeSerialDevice* dev = nullptr;
  std::unique_ptr<CTarviselDlg> dlg;
};
