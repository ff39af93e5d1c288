// Run: the image and its range checked before anything is sent, then the download handed to
// the core; and the start and stop of the link.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Comm/LinkFlags.h"
#include "DlgFont.h"
#include "TarviselDlg.h"
#include "platform/Translate.h"
#include "platform/ThreadPriority.h"
#include "platform/Trace.h"

namespace {
constexpr uint32_t kBlockSize = 4096;
}  // namespace

void CTarviselDlg::OnRun() {
  m_bStopAsked = false;
  m_core.Begin(Now(), EngineCommand::Download, LinkNow());
  Drive();
  EnsureLink();
  // A font needs a file that opened; every other type a checked image.
  if (m_nType == TYPE_FONT ? !m_dloadFile.IsOpened() : !m_dloadFile.IsValid()) {
    m_services.MessageBox(Tr("First, Select right bin file"), "", MB_OK);
    m_core.End(Outcome::Refused);
    Drive();
    return;
  }
  // The image may have been rebuilt or copied over since it was opened and checked.
  if (!m_dloadFile.StillAsChecked()) {
    m_services.MessageBox(m_dloadFile.LastReadFailure() +
                              Tr("\nOpen the image again to check it. Nothing was sent to the handset."),
                          "", MB_OK | MB_ICONEXCLAMATION);
    m_core.End(Outcome::Refused);
    Drive();
    return;
  }
  PrepareRun();
  const std::optional<engine::DownloadJob> job = SetupRange();
  if (!job) return;
  m_core.StartDownload(Now(), *job);
  Drive();
}

void CTarviselDlg::PrepareRun() {
  m_textQ.Reset();
  EnableButtons(false, false, false, false, false);
  m_services.Controls().ClearRichText(IDC_LOG);
  m_core.UseSpeed(Now(), 57600);
  Drive();
}

std::optional<engine::DownloadJob> CTarviselDlg::SetupRange() {
  engine::DownloadJob job;
  job.type = m_nType;
  job.speedIdx = m_nSpeedIdx;
  job.fileVer = m_nFileVer;
  switch (m_nType) {
    case TYPE_NORMAL:
    case TYPE_EMERGENCY:
      job.startAddr = m_dloadFile.GetStartAddress();
      job.length = m_dwSize - job.startAddr;
      break;
    case TYPE_FONT: {
      CDlgFont dlg;
      if (m_services.RunFontDialog(dlg) != IDOK) {
        // Cancelled: nothing starts; the idle buttons come back.
        EnableButtons(true, true, true, true, false);
        m_core.End(Outcome::Declined);
        Drive();
        return std::nullopt;
      }
      job.startAddr = dlg.GetFontAddress();
      job.length = dlg.GetFontSize();
      break;
    }
    case TYPE_CHANGE_EMERGENCY:
    case TYPE_CHANGE_NORMAL:
      job.startAddr = 0;
      job.length = m_dwSize;
      break;
    default:
      return std::nullopt;
  }
  if (!CheckRange(job.startAddr, job.length)) {
    EnableButtons(true, true, true, true, false);
    m_core.End(Outcome::Refused);
    Drive();
    return std::nullopt;
  }
  return job;
}

bool CTarviselDlg::CheckRange(uint32_t startAddr, uint32_t length) {
  char text[256];
  if (m_nType != TYPE_FONT && startAddr >= m_dwSize) {
    std::snprintf(text, sizeof text,
                  Tr("The image's start address 0x%lX lies at or beyond its end (%lu bytes).\n"
                     "Nothing was sent to the handset."),
                  static_cast<unsigned long>(startAddr), static_cast<unsigned long>(m_dwSize));
  } else if (length < kBlockSize) {
    std::snprintf(text, sizeof text,
                  Tr("Only %lu bytes to write from 0x%lX: at least one whole block of 4096 bytes is "
                     "needed.\nNothing was sent to the handset."),
                  static_cast<unsigned long>(length), static_cast<unsigned long>(startAddr));
  } else if (length % kBlockSize != 0) {
    std::snprintf(text, sizeof text,
                  Tr("%lu bytes to write from 0x%lX is not a whole number of 4096-byte blocks: the "
                     "last %lu bytes would never reach the handset.\nNothing was sent to the handset."),
                  static_cast<unsigned long>(length), static_cast<unsigned long>(startAddr),
                  static_cast<unsigned long>(length % kBlockSize));
  } else {
    return true;
  }
  m_services.MessageBox(text, "", MB_OK | MB_ICONEXCLAMATION);
  return false;
}

bool CTarviselDlg::StartDownloader() {
  m_comm.SetPort(m_nPortIdx == 0 ? 1 : 2);
  if (!m_bPriorityRaised) m_bPriorityRaised = RaiseCurrentThreadPriority();
  m_comm.ReleaseComm();
  m_comm.InitComm(&m_services, &m_textQ);
  if (!m_comm.Open()) {
    m_services.MessageBox(Tr("Can't open COM Port\n") + m_comm.GetOpenError(), "", MB_OK);
    m_comm.ReleaseComm();
    // A command asking for the link goes on and ends by its timer, as the window shows it;
    // what it can achieve is settled here.
    m_events.OnPortError(m_comm.GetOpenError());
    m_core.End(Outcome::PortFailed);
    Drive();
    return false;
  }
  if (m_bReceiverStandIn) {
    // The caller reads the device and feeds the frame assembly itself.
    g_bRxRun = true;
    return true;
  }
  if (m_pRxThread) {
    m_services.MessageBox(Tr("Can't start Downloadert\n"), "", MB_OK);
    m_comm.ReleaseComm();
    m_events.OnPortError("the receive thread of the last link is still there");
    m_core.End(Outcome::PortFailed);
    Drive();
    return false;
  }
  m_pRxThread = std::make_unique<CThreadRX>();
  m_pRxThread->CreateThread(true, true);
  m_pRxThread->ResumeThread();
  trace::Printf("DL_START RX_THREAD = (%08X) \n", m_pRxThread->ThreadId());
  g_bRxRun = true;
  m_pRxThread->Start(&m_services, &m_comm, &m_textQ);
  return true;
}

void CTarviselDlg::StopDownloader() {
  m_core.Idle();
  Drive();
  EnableButtons(true, true, true, true, false);
  if (!g_bRxRun) return;
  g_bRxRun = false;
  m_comm.Close();
  m_comm.ReleaseComm();
  m_services.Pause(1000);
  RestoreCurrentThreadPriority(m_bPriorityRaised);
  m_bPriorityRaised = false;
  while (g_bRxAlive) std::this_thread::yield();
  m_pRxThread.reset();
  m_services.Pause(10);
}

void CTarviselDlg::EnsureLink() {
  if (g_bCommOpen) return;
  StopDownloader();
  StartDownloader();
}

long CTarviselDlg::OnCommBreak(uintptr_t, intptr_t) {
  m_core.LineBroke(Now());
  Drive();
  StopDownloader();
  return 1;
}
