#pragma once
// A main window on virtual time, its link over the in-memory device.
#include <gtest/gtest.h>

#include <memory>

#include "Comm/LinkFlags.h"
#include "TarviselDlg.h"
#include "platform/VirtualWindow.h"
#include "support/FakeSerialDevice.h"

class DlgFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto device = std::make_unique<CFakeSerialDevice>();
    dev = device.get();
    dlg = std::make_unique<CTarviselDlg>(win, std::move(device));
  }
  void TearDown() override {
    dlg.reset();
    g_bRxRun = false;
    g_bCommOpen = false;
    EXPECT_TRUE(win.Failures().empty()) << win.JournalText();
  }
  // The reply the window is about to judge, as if WM_RX_PACKET had brought it.
  void Reply(const std::vector<uint8_t>& bytes) {
    RxPacket p;
    std::copy(bytes.begin(), bytes.end(), p.bytes.begin());
    p.size = static_cast<uint16_t>(bytes.size());
    dlg->Comm().StoreResponse(p);
    dlg->m_pResp = dlg->Comm().m_RxBuf.data();
  }
  std::string Log() { return win.Controls().LogPlainText(IDC_LOG); }
  std::vector<RichTextRun> LogRuns() { return win.Controls().LogRuns(IDC_LOG); }

  CVirtualWindow win;
  CFakeSerialDevice* dev = nullptr;
  std::unique_ptr<CTarviselDlg> dlg;
};
