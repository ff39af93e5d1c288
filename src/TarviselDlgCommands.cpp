// The Info, ToDM and Stop commands.
#include "TarviselDlg.h"

void CTarviselDlg::OnInfo() {
  m_services.KillTimer(m_nTimerId);
  AppendLog(kColorBlue, "단말기 정보를 읽어옵니다.");
  EnsureLink();
  EnableButtons(true, true, true, true, true);
  m_nState = DL_INFO;
  m_comm.SetPort(m_nPortIdx == 0 ? 1 : 2);
  SetLinkSpeed(57600);
  BeginCommand();
  m_services.Pause(2000);
  ClearPhoneInfo();
  m_nRetry = 0;
  m_comm.SendVersionReq();
  NoteRequest();
  ArmReplyTimer(TM_VERSION, 3000);
}

void CTarviselDlg::OnToDm() {
  AppendLog(kColorBlue, "단말기를 DM 상태로 바꿈");
  m_services.KillTimer(m_nTimerId);
  EnsureLink();
  EnableButtons(true, true, true, true, true);
  m_bToDmOnly = true;
  m_nState = DL_TO_DM;
  m_nToDmStep = 0;
  SetLinkSpeed(9600);
  BeginCommand();
  m_comm.SendToDmSequence(0);
  NoteRequest();
  ArmReplyTimer(TM_REPLY, 3000);
}

void CTarviselDlg::OnStop() {
  if (m_nDlStep == STEP_ERASE || m_nDlStep == STEP_WRITE) {
    AppendLog(kColorRed, "can't stop downloading");
    return;
  }
  EnableButtons(true, true, true, true, true);
  StopDownloader();
  StartDownloader();
  AppendLog(kColorBlue, "Downloader stopped!!");
}
