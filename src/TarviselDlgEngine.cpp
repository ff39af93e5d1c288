// The download engine: Run, the reply dispatch, the download steps, progress, and the start and
// stop of the link.
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
// After the final jump's ACK: a handset running one reply behind the engine answers the jump
// within its ordinary reply time, well inside a second.
constexpr uint32_t kFinalDrainMs = 1000;

std::string Format(const char* fmt, unsigned long a) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, fmt, a);
  return n < 0 ? std::string() : std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

bool IsDmPhaseType(int type) {
  return type == TYPE_NORMAL || type == TYPE_FONT || type == TYPE_CHANGE_NORMAL;
}
bool IsEmergencyType(int type) { return type == TYPE_EMERGENCY || type == TYPE_CHANGE_EMERGENCY; }
}  // namespace

void CTarviselDlg::OnRun() {
  BeginCommand(EngineCommand::Download);
  EnsureLink();
  // A font needs a file that opened; every other type a checked image.
  if (m_nType == TYPE_FONT ? !m_dloadFile.IsOpened() : !m_dloadFile.IsValid()) {
    m_services.MessageBox(Tr("First, Select right bin file"), "", MB_OK);
    EndCommand(Outcome::Refused);
    return;
  }
  // The image may have been rebuilt or copied over since it was opened and checked.
  if (!m_dloadFile.StillAsChecked()) {
    m_services.MessageBox(m_dloadFile.LastReadFailure() +
                              Tr("\nOpen the image again to check it. Nothing was sent to the handset."),
                          "", MB_OK | MB_ICONEXCLAMATION);
    EndCommand(Outcome::Refused);
    return;
  }
  PrepareRun();
  if (!SetupRange()) return;
  if (IsDmPhaseType(m_nType)) {
    ClearPhoneInfo();
    if (m_bStopAsked) return;
    m_nRetry = 0;
    m_comm.SendVersionReq();
    NoteRequest();
    EnterPhase(EnginePhase::Version);
    ArmReplyTimer(TM_RUN_VERSION, 3000);
  } else if (IsEmergencyType(m_nType)) {
    m_nRetry = 0;
    m_comm.SendDloadStartReq();
    NoteRequest();
    EnterPhase(EnginePhase::Module);
    ArmReplyTimer(TM_REPLY, 3000);
  }
}

void CTarviselDlg::PrepareRun() {
  m_nBlockIdx = 0;
  m_nRetry = 0;
  m_nPhoneRev = 0;
  m_textQ.Reset();
  EnableButtons(false, false, false, false, false);
  m_services.Controls().ClearRichText(IDC_LOG);
  SetLinkSpeed(57600);
}

bool CTarviselDlg::SetupRange() {
  switch (m_nType) {
    case TYPE_NORMAL:
    case TYPE_EMERGENCY:
      m_dwStartAddr = m_dloadFile.GetStartAddress();
      m_dwLength = m_dwSize - m_dwStartAddr;
      break;
    case TYPE_FONT: {
      CDlgFont dlg;
      if (m_services.RunFontDialog(dlg) != IDOK) {
        // Cancelled: nothing starts; the idle buttons come back.
        EnableButtons(true, true, true, true, false);
        EndCommand(Outcome::Declined);
        return false;
      }
      m_dwStartAddr = dlg.GetFontAddress();
      m_dwLength = dlg.GetFontSize();
      break;
    }
    case TYPE_CHANGE_EMERGENCY:
    case TYPE_CHANGE_NORMAL:
      m_dwStartAddr = 0;
      m_dwLength = m_dwSize;
      break;
    default:
      return true;
  }
  if (!CheckRange()) {
    EnableButtons(true, true, true, true, false);
    EndCommand(Outcome::Refused);
    return false;
  }
  if (IsDmPhaseType(m_nType)) {
    m_nState = DL_VERSION;
  } else {
    m_nState = DL_DOWNLOAD;
    m_nDlStep = STEP_START;
  }
  return true;
}

bool CTarviselDlg::CheckRange() {
  char text[256];
  if (m_nType != TYPE_FONT && m_dwStartAddr >= m_dwSize) {
    std::snprintf(text, sizeof text,
                  Tr("The image's start address 0x%lX lies at or beyond its end (%lu bytes).\n"
                     "Nothing was sent to the handset."),
                  static_cast<unsigned long>(m_dwStartAddr), static_cast<unsigned long>(m_dwSize));
  } else if (m_dwLength < kBlockSize) {
    std::snprintf(text, sizeof text,
                  Tr("Only %lu bytes to write from 0x%lX: at least one whole block of 4096 bytes is "
                     "needed.\nNothing was sent to the handset."),
                  static_cast<unsigned long>(m_dwLength), static_cast<unsigned long>(m_dwStartAddr));
  } else if (m_dwLength % kBlockSize != 0) {
    std::snprintf(text, sizeof text,
                  Tr("%lu bytes to write from 0x%lX is not a whole number of 4096-byte blocks: the "
                     "last %lu bytes would never reach the handset.\nNothing was sent to the handset."),
                  static_cast<unsigned long>(m_dwLength), static_cast<unsigned long>(m_dwStartAddr),
                  static_cast<unsigned long>(m_dwLength % kBlockSize));
  } else {
    return true;
  }
  m_services.MessageBox(text, "", MB_OK | MB_ICONEXCLAMATION);
  return false;
}

void CTarviselDlg::DloadStep() {
  switch (m_nDlStep) {
    case STEP_START:
      m_nDlStep = STEP_COPY;
      m_comm.SendModuleCopyReq();
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 5000);
      break;
    case STEP_COPY:
      m_nDlStep = STEP_BAUD;
      m_comm.SendBaudRateReq(static_cast<uint8_t>(m_nSpeedIdx));
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case STEP_BAUD:
      m_nDlStep = STEP_JUMP;
      m_comm.SendJumpReq();
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case STEP_JUMP:
      ApplySelectedSpeed();
      if (m_bStopAsked) return;
      m_nDlStep = STEP_RESTART;
      m_comm.SendDloadStartReq();
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case STEP_RESTART:
      m_nBlocks = static_cast<int32_t>(m_dwLength / kBlockSize);
      m_nDlStep = STEP_ERASE;
      m_comm.SendFlashEraseReq(m_dwStartAddr, m_dwLength);
      NoteRequest();
      EnterPhase(EnginePhase::Erase);
      AppendLog(kColorBlue, Tr("잠시 기다리십시요.."));
      m_eraseWait.emplace(m_services);
      ArmReplyTimer(TM_REPLY, 100000);
      break;
    case STEP_ERASE:
      m_eraseWait.reset();
      BeginProgramming();
      m_nDlStep = STEP_WRITE;
      SendBlock();
      break;
    case STEP_WRITE:
      ShowBlockProgress();
      if (m_nBlockIdx == m_nBlocks) {
        ShowElapsedTime();
        Settle();
      } else {
        SendBlock();
      }
      break;
    case STEP_DONE:
      // Completed only if no reply comes after this one: one would mean the engine had been
      // taking each reply for the request after the one it answered.
      if (m_wait.GetState() != CReplyWait::State::Listen) {
        m_wait.BeginListen();
        m_services.SetTimer(TM_WAIT, kFinalDrainMs);
      }
      break;
    default:
      break;
  }
}

void CTarviselDlg::Settle() {
  m_wait.BeginSettle();
  m_services.SetTimer(TM_WAIT, kSecondReplyMs);
}

void CTarviselDlg::SendFinalJump() {
  m_nDlStep = STEP_DONE;
  m_nRetry = 0;
  m_comm.SendJumpReq();
  NoteRequest();
  EnterPhase(EnginePhase::Jump);
  ArmReplyTimer(TM_REPLY, 5000);
}

bool CTarviselDlg::SendBlock() {
  const uint32_t address = m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx) * kBlockSize;
  const bool read = m_nType == TYPE_FONT
                        ? m_dloadFile.ReadFontBlock(m_dwStartAddr, static_cast<uint32_t>(m_nBlockIdx), m_Block)
                        : m_dloadFile.ReadBlock(m_dwStartAddr, static_cast<uint32_t>(m_nBlockIdx), m_Block);
  if (!read) {
    // A block that is not sent would be taken as written: the download ends here instead.
    EndDownloadOnBadBlock(address);
    return false;
  }
  m_comm.SendWriteBlockReq(m_Block);
  NoteRequest();
  ++m_nBlockIdx;
  ArmReplyTimer(TM_BLOCK, 3000);
  return true;
}

void CTarviselDlg::EndDownloadOnBadBlock(uint32_t address) {
  m_services.KillTimer(m_nTimerId);
  const std::string& why = m_dloadFile.LastReadFailure();
  // Queued behind the lines still waiting ("Flash programming 시작" when the first block fails).
  QueueLog(3, Format(Tr("Image read error ADDRESS: 0x%07lxh: download stopped"), address) + " (" + why + ")");
  m_services.MessageBox(Format(Tr("The block at flash address 0x%07lX could not be read from the image file.\n"),
                               address) +
                            why + Tr("\nThe download was stopped; the handset's flash is incomplete."),
                        "", MB_OK | MB_ICONEXCLAMATION);
  m_nState = -1;
  m_nDlStep = STEP_START;
  EndCommand(Outcome::ReadError);
  ShowProgramming(false);
  EnableButtons(true, true, true, true, false);
  UpdateData(false);
}

void CTarviselDlg::SetLinkSpeed(uint32_t baud) {
  if (m_comm.GetBaud() == baud) return;
  // Nothing sent at the old speed can be answered in a way we could read at the new one.
  m_wait.WriteOff();
  CThreadHold hold(m_pRxThread.get());
  m_comm.ChangeBaud(baud);
}

void CTarviselDlg::ApplySelectedSpeed() {
  if (m_nSpeedIdx == 0) SetLinkSpeed(57600);
  else if (m_nSpeedIdx == 1) SetLinkSpeed(115200);
}

void CTarviselDlg::BeginProgramming() {
  QueueLog(4, Tr("Flash programming 시작"));
  m_tStart = m_services.ClockMs();
  ShowProgramming(true);
  CDialogControls& c = m_services.Controls();
  c.SetProgressRange(IDC_PROGRESS, 0, m_nBlocks);
  c.SetProgressPos(IDC_PROGRESS, 0);
  c.EnableProgressText(IDC_PROGRESS, true);
  m_strStatus.clear();
  UpdateData(false);
  EnterPhase(EnginePhase::Programming);
  m_events.OnProgress(BlockProgress{0, m_nBlocks, m_dwStartAddr, 0});
}

void CTarviselDlg::ShowBlockProgress() {
  const int percent =
      static_cast<int>(static_cast<double>(m_nBlockIdx) / static_cast<double>(m_nBlocks) * 100.0) & 0xFF;
  char text[64];
  std::snprintf(text, sizeof text, Tr("Downloading completed %d%%"), percent);
  CDialogControls& c = m_services.Controls();
  c.SetProgressText(IDC_PROGRESS, text);
  c.SetProgressPos(IDC_PROGRESS, m_nBlockIdx);
  const uint32_t address = m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx - 1) * kBlockSize;
  m_strStatus = Format("Addr = 0x%lx", address);
  UpdateData(false);
  m_events.OnProgress(
      BlockProgress{m_nBlockIdx, m_nBlocks, address, static_cast<uint64_t>(m_nBlockIdx) * kBlockSize});
}

void CTarviselDlg::ShowElapsedTime() {
  const uint64_t elapsedMs = m_services.ClockMs() - m_tStart;
  m_events.OnProgrammed(elapsedMs);
  const uint64_t s = elapsedMs / 1000;
  char text[64];
  std::snprintf(text, sizeof text, Tr("Elapsed time : %d min %d sec"), static_cast<int>(s / 60),
                static_cast<int>(s % 60));
  m_strStatus = text;
  ShowProgramming(false);
  EnableButtons(true, true, true, true, false);
  UpdateData(false);
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
    EndCommand(Outcome::PortFailed);
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
    EndCommand(Outcome::PortFailed);
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
  StopAwaiting();
  m_pResp = nullptr;
  m_nDlStep = STEP_START;
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
  if (m_command && m_wait.GetState() == CReplyWait::State::Listen) {
    // The final jump was acknowledged and every reply before it matched: the handset restarts,
    // and one whose USB port goes with it leaves the line while the engine still listens.
    trace::Printf("engine: the line went away after the final jump's ACK\n");
    m_services.KillTimer(TM_WAIT);
    m_wait.EndWait();
    FinishDownload();
  } else {
    EndCommand(Outcome::LineBroke);
  }
  StopDownloader();
  return 1;
}
