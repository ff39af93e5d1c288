// The Info, ToDM and Stop commands, and the start and end of every command as the front-ends
// hear of them.
#include "TarviselDlg.h"
#include "platform/Translate.h"

void CTarviselDlg::BeginCommand(EngineCommand command) {
  EndCommand(Outcome::Stopped);  // a command left running is over now
  StopAwaiting();
  m_nEraseCycles = 0;
  m_bLineFaster = false;
  m_bUncheckedWork = false;
  m_bFrameHeard = false;
  m_bAnswerHeard = false;
  m_plainCheck.Reset();
  m_dloadCheck.Reset();
  m_bStopAsked = false;
  m_phase.reset();
  m_command = command;
  m_events.OnStarted(command);
}

void CTarviselDlg::EndCommand(Outcome outcome) {
  if (!m_command) return;
  const EngineCommand command = *m_command;
  m_command.reset();
  m_eraseWait.reset();
  m_events.OnFinished(command, outcome);
}

void CTarviselDlg::EnterPhase(EnginePhase phase) {
  if (!m_command) return;
  m_phase = phase;
  m_events.OnPhase(phase);
}

void CTarviselDlg::OnInfo() {
  m_services.KillTimer(m_nTimerId);
  BeginCommand(EngineCommand::Info);
  AppendLog(kColorBlue, Tr("단말기 정보를 읽어옵니다."));
  EnsureLink();
  EnableButtons(true, true, true, true, true);
  m_nState = DL_INFO;
  m_comm.SetPort(m_nPortIdx == 0 ? 1 : 2);
  SetLinkSpeed(57600);
  if (!PauseFor(2000)) return;
  ClearPhoneInfo();
  if (m_bStopAsked) return;
  m_nRetry = 0;
  m_comm.SendVersionReq();
  NoteRequest();
  EnterPhase(EnginePhase::Info);
  ArmReplyTimer(TM_VERSION, 3000);
}

void CTarviselDlg::OnToDm() {
  BeginCommand(EngineCommand::ToDm);
  AppendLog(kColorBlue, Tr("단말기를 DM 상태로 바꿈"));
  m_services.KillTimer(m_nTimerId);
  EnsureLink();
  EnableButtons(true, true, true, true, true);
  m_bToDmOnly = true;
  m_nState = DL_TO_DM;
  m_nToDmStep = 0;
  SetLinkSpeed(9600);
  m_comm.SendToDmSequence(0);
  NoteRequest();
  EnterPhase(EnginePhase::ToDm);
  ArmReplyTimer(TM_REPLY, 3000);
}

void CTarviselDlg::OnStop() {
  m_bStopAsked = false;
  if (m_nDlStep == STEP_ERASE || m_nDlStep == STEP_WRITE) {
    AppendLog(kColorRed, Tr("can't stop downloading"));
    return;
  }
  EndCommand(Outcome::Stopped);
  EnableButtons(true, true, true, true, true);
  StopDownloader();
  StartDownloader();
  AppendLog(kColorBlue, Tr("Downloader stopped!!"));
}
