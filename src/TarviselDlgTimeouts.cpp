// Reply time-outs: resends, the speed and framing toggle, giving up, and the ToDM sequence.
#include <cstdio>

#include "TarviselDlg.h"
#include "platform/Trace.h"

namespace {
constexpr uint8_t kVersionExpiries = 5;
constexpr uint8_t kReplyExpiries = 3;
// A handset that takes every block write and never acknowledges one would have the range
// erased and written again for ever.
constexpr int kMaxEraseCycles = 3;
}  // namespace

void CTarviselDlg::OnTimer(uint32_t id) {
  m_services.KillTimer(id);
  if (id == TM_DRAIN) {
    if (m_bFinalDrain) {
      FinishDownload();
    } else if (m_bSettling) {
      m_bSettling = false;
      if (m_nDlStep == STEP_WRITE) {
        SendFinalJump();
      } else {
        DloadStep();
      }
    } else if (m_bDraining) {
      trace::Printf("engine: %zu owed replies did not come: written off\n", m_ledger.Owed());
      m_ledger.WriteOff();
      FinishDrain();
    }
    return;
  }
  ++m_nRetry;
  const bool versionTimer = id == TM_RUN_VERSION || id == TM_VERSION;
  if (versionTimer && m_nRetry < kVersionExpiries) {
    if (m_nRetry == 2) {
      m_ledger.WriteOff();  // nothing sent at the old speed can be read at the new one
      CThreadHold hold(m_pRxThread.get());
      m_comm.ToggleSpeed();
    }
    m_comm.ResendLastPacket();
    NoteResend();
    ArmReplyTimer(m_nTimerId, m_nTimerMs);
    return;
  }
  if (!versionTimer && m_nRetry < kReplyExpiries) {
    if (m_nState == DL_TO_DM) {
      m_comm.SendToDmSequence(m_comm.GetLastCmd());
    } else {
      m_comm.ResendLastPacket();
    }
    NoteResend();
    ArmReplyTimer(m_nTimerId, m_nTimerMs);
    return;
  }

  m_nRetry = 0;
  m_eraseWait.reset();
  // Every send was given the whole reply time, longer than any drain: none is owed any more.
  m_ledger.WriteOff();
  if (id == TM_BLOCK && m_nEraseCycles >= kMaxEraseCycles) id = TM_REPLY;
  switch (id) {
    case TM_REPLY:
    case TM_VERSION:
      AppendLog(kColorRed, "응답이 없습니다.");
      ShowNoReply();
      EndCommand(Outcome::NoReply);
      break;
    case TM_RUN_VERSION:
      m_nState = DL_TO_DM;
      m_nToDmStep = 0;
      SetLinkSpeed(9600);
      QueueLog(4, "단말기를 DM 상태로 바꿈");
      m_comm.SendToDmSequence(0);
      NoteRequest();
      EnterPhase(EnginePhase::ToDm);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case TM_BLOCK: {
      char text[64];
      std::snprintf(text, sizeof text, "패킷 재전송 ADDRESS: 0x%07lxh",
                    static_cast<unsigned long>(m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx - 1) * 4096u));
      AppendLog(kColorRed, text);
      m_nDlStep = STEP_ERASE;
      m_eraseWait.emplace(m_services);
      m_nBlockIdx = 0;
      ++m_nEraseCycles;
      m_comm.SendFlashEraseReq(m_dwStartAddr, m_dwLength);
      NoteRequest();
      EnterPhase(EnginePhase::Erase);
      ArmReplyTimer(TM_REPLY, 100000);
      break;
    }
    default:
      break;
  }
}

void CTarviselDlg::ShowNoReply() {
  ShowProgramming(false);
  EnableButtons(true, true, true, true, false);
  UpdateData(false);
}

void CTarviselDlg::ToDmStep() {
  m_services.Pause(1000);
  switch (m_nToDmStep) {
    case 0:
    case 1:
      ++m_nToDmStep;
      m_comm.SendToDmSequence(m_nToDmStep);
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case 2:
      m_nToDmStep = 3;
      m_comm.SendToDmSequence(3);  // no reply is awaited
      NoteRequest(false);
      m_services.Pause(7000);
      m_nState = DL_VERSION;
      m_nToDmStep = 0;
      SetLinkSpeed(57600);
      m_services.Pause(1000);
      if (m_bToDmOnly) {
        m_bToDmOnly = false;
        EndCommand(Outcome::Completed);
        break;
      }
      ClearPhoneInfo();
      m_nRetry = 0;
      m_comm.SendVersionReq();
      NoteRequest();
      EnterPhase(EnginePhase::Version);
      ArmReplyTimer(TM_VERSION, 3000);
      break;
    default:
      break;
  }
}
