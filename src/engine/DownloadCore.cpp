// The download core's commands, its pauses, and what it leaves for its driver.
#include "engine/DownloadCore.h"

#include <cstdio>


#include "platform/MessageBox.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

using namespace engine;

void CDownloadCore::At(const Moment& at) {
  m_nowMs = at.ms;
  m_txEnd = at.txHanded;
}

std::vector<Action> CDownloadCore::TakeActions() {
  std::vector<Action> out;
  out.swap(m_actions);
  return out;
}

CoreView CDownloadCore::View() const {
  CoreView v;
  v.state = m_nState;
  v.dlStep = m_nDlStep;
  v.startAddr = m_dwStartAddr;
  v.length = m_dwLength;
  v.blocks = m_nBlocks;
  v.blockIdx = m_nBlockIdx;
  v.phoneRev = m_nPhoneRev;
  v.toDmOnly = m_bToDmOnly;
  v.command = m_command;
  return v;
}

void CDownloadCore::Begin(const Moment& at, EngineCommand command, LinkState link) {
  At(at);
  End(Outcome::Stopped);  // a command left running is over now
  StopAwaiting();
  m_baud = link.baud;
  m_crc30 = link.crc30;
  m_nEraseCycles = 0;
  m_bLineFaster = false;
  m_bUncheckedWork = false;
  m_bFrameHeard = false;
  m_bAnswerHeard = false;
  m_plainCheck.Reset();
  m_dloadCheck.Reset();
  m_phase.reset();
  m_command = command;
  Emit(Started{command});
}

void CDownloadCore::End(Outcome outcome) {
  if (!m_command) return;
  const EngineCommand command = *m_command;
  m_command.reset();
  ShowWaitCursor(false);
  Emit(Finished{command, outcome});
}

void CDownloadCore::EnterPhase(EnginePhase phase) {
  if (!m_command) return;
  m_phase = phase;
  Emit(PhaseEntered{phase});
}

void CDownloadCore::ShowWaitCursor(bool on) {
  if (m_bWaitCursor == on) return;
  m_bWaitCursor = on;
  Emit(WaitCursor{on});
}

void CDownloadCore::PauseThen(uint32_t ms, AfterPause then) {
  m_afterPause = then;
  SetTimer(TM_PAUSE, ms);
}

void CDownloadCore::UseSpeed(const Moment& at, uint32_t baud) {
  At(at);
  SetLinkSpeed(baud);
}

bool CDownloadCore::Stop(const Moment& at) {
  At(at);
  if (m_nDlStep == STEP_ERASE || m_nDlStep == STEP_WRITE) {
    AppendLog(kColorRed, Tr("can't stop downloading"));
    return false;
  }
  End(Outcome::Stopped);
  StopAwaiting();
  return true;
}

void CDownloadCore::Idle() {
  StopAwaiting();
  m_nDlStep = STEP_START;
}

void CDownloadCore::LineBroke(const Moment& at) {
  At(at);
  if (m_command && m_wait.GetState() == CReplyWait::State::Listen) {
    // The final jump was acknowledged and every reply before it matched: the handset restarts,
    // and one whose USB port goes with it leaves the line while the engine still listens.
    trace::Printf("engine: the line went away after the final jump's ACK\n");
    KillTimer(TM_WAIT);
    m_wait.EndWait();
    FinishDownload();
  } else {
    End(Outcome::LineBroke);
  }
}

void CDownloadCore::StopAwaiting() {
  KillTimer(m_nTimerId);
  KillTimer(TM_WAIT);
  KillTimer(TM_WAIT_NOTE);
  KillTimer(TM_PAUSE);
  m_afterPause = AfterPause::None;
  m_bAskingVersion = false;
  m_bReadingBlock = false;
  m_wait.Reset();
  ShowWaitCursor(false);
}

void CDownloadCore::StartInfo(const Moment& at) {
  At(at);
  m_nState = DL_INFO;
  SetLinkSpeed(57600);
  PauseThen(2000, AfterPause::InfoVersion);
}

void CDownloadCore::StartToDm(const Moment& at) {
  At(at);
  m_bToDmOnly = true;
  m_nState = DL_TO_DM;
  m_nToDmStep = 0;
  SetLinkSpeed(9600);
  SendToDmSequence(0);
  NoteRequest();
  EnterPhase(EnginePhase::ToDm);
  ArmReplyTimer(TM_REPLY, 3000);
}

void CDownloadCore::SendVersionAndWait(uint32_t timerId, EnginePhase phase) {
  m_nRetry = 0;
  SendVersionReq();
  NoteRequest();
  EnterPhase(phase);
  ArmReplyTimer(timerId, 3000);
}

void CDownloadCore::OnPauseEnd() {
  const AfterPause then = m_afterPause;
  m_afterPause = AfterPause::None;
  switch (then) {
    case AfterPause::None:
      return;
    case AfterPause::InfoVersion:
      ClearPhoneInfo();
      SendVersionAndWait(TM_VERSION, EnginePhase::Info);
      return;
    case AfterPause::Declined:
      End(Outcome::Declined);
      return;
    case AfterPause::DownloadMode:
      m_nState = DL_DLOAD_MODE;
      m_nRetry = 0;
      SendDloadModeReq();
      NoteRequest();
      EnterPhase(EnginePhase::DownloadMode);
      ArmReplyTimer(TM_REPLY, 3000);
      return;
    case AfterPause::ModuleStart:
      StartModule();
      return;
    case AfterPause::ToDmStep:
      switch (m_nToDmStep) {
        case 0:
        case 1:
          ++m_nToDmStep;
          m_nRetry = 0;
          SendToDmSequence(m_nToDmStep);
          NoteRequest();
          ArmReplyTimer(TM_REPLY, 3000);
          break;
        case 2:
          m_nToDmStep = 3;
          SendToDmSequence(3);  // no reply is awaited
          NoteRequest(false);
          PauseThen(7000, AfterPause::ToDmSequenceSent);
          break;
        default:
          break;
      }
      return;
    case AfterPause::ToDmSequenceSent:
      m_nState = DL_VERSION;
      m_nToDmStep = 0;
      SetLinkSpeed(57600);
      PauseThen(1000, AfterPause::ToDmSpeedSet);
      return;
    case AfterPause::ToDmSpeedSet:
      if (m_bToDmOnly) {
        m_bToDmOnly = false;
        End(Outcome::Completed);
        return;
      }
      ClearPhoneInfo();
      SendVersionAndWait(TM_VERSION, EnginePhase::Version);
      return;
  }
}

void CDownloadCore::ToDmStep() { PauseThen(1000, AfterPause::ToDmStep); }

void CDownloadCore::AdvanceWithHeldAnswer() {
  m_rxPacket = m_heldResp;
  Advance();
}

void CDownloadCore::Advance() {
  switch (m_nState) {
    case DL_TO_DM:
      ToDmStep();
      break;
    case DL_INFO:
      ParseVersionReply();
      End(Outcome::Completed);
      break;
    case DL_VERSION:
      ParseVersionReply();
      ConfirmVersion();
      break;
    case DL_DM_OFFLINE:
      PauseThen(3000, AfterPause::DownloadMode);
      break;
    case DL_DLOAD_MODE:
      PauseThen(2000, AfterPause::ModuleStart);
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

void CDownloadCore::OnVersionAnswer(const Moment& at, bool go) {
  At(at);
  if (!m_bAskingVersion) return;
  m_bAskingVersion = false;
  if (!go) {
    PauseThen(2000, AfterPause::Declined);
    return;
  }
  AfterVersionConfirmed();
}

void CDownloadCore::AfterVersionConfirmed() {
  m_nState = DL_DM_OFFLINE;
  m_nRetry = 0;
  SendDmOfflineReq();
  NoteRequest();
  EnterPhase(EnginePhase::DmOffline);
  ArmReplyTimer(TM_REPLY, 3000);
}

void CDownloadCore::EndOutOfStep() {
  StopAwaiting();
  AppendLog(kColorRed, Tr(kOutOfStepText));
  End(Outcome::OutOfStep);
}

void CDownloadCore::EndNoReply() {
  m_nRetry = 0;
  StopAwaiting();
  AppendLog(kColorRed, Tr("응답이 없습니다."));
  End(Outcome::NoReply);
}

void CDownloadCore::EndNeverQuiet() {
  m_nRetry = 0;
  StopAwaiting();
  AppendLog(kColorRed, Tr("The line never fell quiet while replies were still owed: which reply answers which "
                          "request can no longer be told. The download stopped; check the cable and run it again."));
  End(Outcome::NoReply);
}

void CDownloadCore::EndRefusedByHandset() {
  m_nRetry = 0;
  StopAwaiting();
  char text[128];
  std::snprintf(text, sizeof text, Tr("The handset refused the request %u times in a row: the download stopped."),
                CReplyWait::kMaxSends);
  AppendLog(kColorRed, text);
  End(Outcome::HandsetRefused);
}

void CDownloadCore::FinishDownload() {
  trace::Printf("engine: download done: %u requests sent, %u replies, %u written off\n", m_wait.TotalSends(),
                m_wait.Replies(), m_wait.WrittenOff());
  Emit(Notice{Tr("Downloading completed"), MB_OK});
  End(Outcome::Completed);
}
