// The Info, ToDM and Stop commands as the window starts them; the core carries them out.
#include "TarviselDlg.h"
#include "platform/Translate.h"

void CTarviselDlg::OnInfo() {
  m_bStopAsked = false;
  m_core.Begin(Now(), EngineCommand::Info, LinkNow());
  Drive();
  AppendLog(kColorBlue, Tr("단말기 정보를 읽어옵니다."));
  EnsureLink();
  EnableButtons(true, true, true, true, true);
  m_comm.SetPort(m_nPortIdx == 0 ? 1 : 2);
  m_core.StartInfo(Now());
  Drive();
}

void CTarviselDlg::OnToDm() {
  m_bStopAsked = false;
  m_core.Begin(Now(), EngineCommand::ToDm, LinkNow());
  Drive();
  AppendLog(kColorBlue, Tr("단말기를 DM 상태로 바꿈"));
  EnsureLink();
  EnableButtons(true, true, true, true, true);
  m_core.StartToDm(Now());
  Drive();
}

void CTarviselDlg::OnStop() {
  m_bStopAsked = false;
  const bool stopped = m_core.Stop(Now());
  Drive();
  if (!stopped) return;
  EnableButtons(true, true, true, true, true);
  StopDownloader();
  StartDownloader();
  AppendLog(kColorBlue, Tr("Downloader stopped!!"));
}
