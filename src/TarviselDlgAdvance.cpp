// An accepted answer moves the engine on (the state table), and the ends a command can come to
// on the way.
#include <cstdio>

#include "TarviselDlg.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

void CTarviselDlg::AdvanceWithHeldAnswer() {
  m_comm.StoreResponse(m_heldResp);
  m_rxPacket = m_heldResp;
  m_pResp = m_comm.m_RxBuf.data();
  Advance();
}

void CTarviselDlg::Advance() {
  switch (m_nState) {
    case DL_TO_DM:
      ToDmStep();
      break;
    case DL_INFO:
      ParseVersionReply();
      EndCommand(Outcome::Completed);
      break;
    case DL_VERSION:
      ParseVersionReply();
      if (m_bStopAsked) return;
      if (!ConfirmVersion()) {
        m_services.Pause(2000);
        EnableButtons(true, true, true, true, false);
        EndCommand(Outcome::Declined);
        break;
      }
      if (m_bStopAsked) return;
      m_nState = DL_DM_OFFLINE;
      m_nRetry = 0;
      m_comm.SendDmOfflineReq();
      NoteRequest();
      EnterPhase(EnginePhase::DmOffline);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case DL_DM_OFFLINE:
      if (!PauseFor(3000)) return;
      m_nState = DL_DLOAD_MODE;
      m_nRetry = 0;
      m_comm.SendDloadModeReq();
      NoteRequest();
      EnterPhase(EnginePhase::DownloadMode);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case DL_DLOAD_MODE:
      if (!PauseFor(2000)) return;
      m_nState = DL_DOWNLOAD;
      m_nDlStep = STEP_START;
      m_nRetry = 0;
      m_comm.SendDloadStartReq();
      NoteRequest();
      EnterPhase(EnginePhase::Module);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case DL_DOWNLOAD:
      // The module's set-up requests are a few bytes each, and the first block's answer is the
      // first that tells whether this line is faster than its speed; later block writes
      // outlast the wait.
      if (m_nDlStep <= STEP_ERASE) {
        Settle();
      } else {
        DloadStep();
      }
      break;
    default:
      break;
  }
}

void CTarviselDlg::EndOutOfStep() {
  StopAwaiting();
  AppendLog(kColorRed, Tr(kOutOfStepText));
  ShowNoReply();
  EndCommand(Outcome::OutOfStep);
}

void CTarviselDlg::EndNoReply() {
  m_nRetry = 0;
  StopAwaiting();
  AppendLog(kColorRed, Tr("응답이 없습니다."));
  ShowNoReply();
  EndCommand(Outcome::NoReply);
}

void CTarviselDlg::EndNeverQuiet() {
  m_nRetry = 0;
  StopAwaiting();
  AppendLog(kColorRed, Tr("The line never fell quiet while replies were still owed: which reply answers which "
                          "request can no longer be told. The download stopped; check the cable and run it again."));
  ShowNoReply();
  EndCommand(Outcome::NoReply);
}

void CTarviselDlg::EndRefusedByHandset() {
  m_nRetry = 0;
  StopAwaiting();
  char text[128];
  std::snprintf(text, sizeof text, Tr("The handset refused the request %u times in a row: the download stopped."),
                CReplyWait::kMaxSends);
  AppendLog(kColorRed, text);
  ShowNoReply();
  EndCommand(Outcome::HandsetRefused);
}

void CTarviselDlg::FinishDownload() {
  trace::Printf("engine: download done: %u requests sent, %u replies, %u written off\n", m_wait.TotalSends(),
                m_wait.Replies(), m_wait.WrittenOff());
  m_services.MessageBox(Tr("Downloading completed"), "", MB_OK);
  EndCommand(Outcome::Completed);
}
