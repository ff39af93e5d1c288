// Reply time-outs: resends, the speed and framing toggle, giving up, and the ToDM sequence.
#include <cstdio>

#include "engine/DownloadCore.h"
#include "platform/Translate.h"
#include "platform/Trace.h"

namespace {
constexpr uint8_t kVersionExpiries = 5;
constexpr uint8_t kReplyExpiries = 3;
// A handset that takes every block write and never acknowledges one would have the range
// erased and written again for ever.
constexpr int kMaxEraseCycles = 3;
}  // namespace

void CDownloadCore::OnTimer(const Moment& at, uint32_t id) {
  At(at);
  if (id == TM_PAUSE) {
    OnPauseEnd();
    return;
  }
  if (id == TM_WAIT) {
    OnWaitTimer();
    return;
  }
  if (id == TM_WAIT_NOTE) {
    NoteWaiting();
    return;
  }
  // A reply timer left from a request that was answered or given up on since.
  if (id != m_nTimerId || m_wait.GetState() != CReplyWait::State::Reply) return;
  // Counted since the request first went, across answers later revoked: only a new request
  // starts the count again.
  ++m_nRetry;
  const bool versionTimer = id == TM_RUN_VERSION || id == TM_VERSION;
  const uint8_t expiries = versionTimer ? kVersionExpiries : kReplyExpiries;
  if (m_nRetry < expiries && m_wait.Sends() < CReplyWait::kMaxSends) {
    if (versionTimer && m_nRetry == 2) {
      ToggleSpeed();
    }
    ResendRequest(ResendCause::NoReply);
    return;
  }
  GiveUpRequest();
}

void CDownloadCore::GiveUpRequest(bool refused) {
  KillTimer(m_nTimerId);
  KillTimer(TM_WAIT_NOTE);
  m_nRetry = 0;
  uint32_t id = m_nTimerId;
  if (id == TM_BLOCK && m_nEraseCycles >= kMaxEraseCycles) id = TM_REPLY;
  if (id == TM_BLOCK) {
    // The erase that follows must not go while the handset may still answer a send of the
    // block: its late ACK would be taken for the erase's.
    if (m_wait.OnGiveUp(m_nowMs) == CReplyWait::Next::GiveUp) {
      EraseAgain();
      return;
    }
    QueueLog(4, Tr("No answer for the block: waiting for the handset to fall quiet before erasing again"));
    ArmQuietTimer();
    return;
  }
  ShowWaitCursor(false);
  switch (id) {
    case TM_REPLY:
    case TM_VERSION:
      if (refused) {
        EndRefusedByHandset();
      } else {
        EndNoReply();
      }
      break;
    case TM_RUN_VERSION:
      m_wait.EndWait();
      m_nState = DL_TO_DM;
      m_nToDmStep = 0;
      SetLinkSpeed(9600);
      QueueLog(4, Tr("단말기를 DM 상태로 바꿈"));
      SendToDmSequence(0);
      NoteRequest();
      EnterPhase(EnginePhase::ToDm);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    default:
      break;
  }
}

void CDownloadCore::EraseAgain() {
  char text[64];
  std::snprintf(text, sizeof text, Tr("패킷 재전송 ADDRESS: 0x%07lxh"),
                static_cast<unsigned long>(m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx - 1) * 4096u));
  AppendLog(kColorRed, text);
  m_nDlStep = STEP_ERASE;
  ShowWaitCursor(true);
  m_nBlockIdx = 0;
  ++m_nEraseCycles;
  m_nRetry = 0;
  SendFlashEraseReq(m_dwStartAddr, m_dwLength);
  NoteRequest();
  EnterPhase(EnginePhase::Erase);
  ArmReplyTimer(TM_REPLY, 100000);
}

