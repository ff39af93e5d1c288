// Judging the handset's replies by the engine state (ResponseCheck), and the version reply's
// phone information and question.
#include "ResponseCheck.h"
#include "TarviselDlg.h"
#include "platform/Translate.h"

bool CTarviselDlg::ValidateResponse() {
  const size_t size = m_comm.GetRxSize();
  ReplyVerdict v;
  switch (m_nState) {
    case DL_DOWNLOAD:
      v = JudgeDloadReply(m_pResp, size);
      break;
    case DL_TO_DM:
      v = JudgeToDmReply(m_pResp, size);
      break;
    default:
      v = JudgeDmReply(m_pResp, size, m_comm.GetLastCmd());
      break;
  }
  // The reply's line as the user reads it: the texts of the tables are translated here.
  if (v.logged) QueueLog(v.kind, v.text.empty() ? v.text : Tr(v.text.c_str()));
  return v.accepted;
}

void CTarviselDlg::ClearPhoneInfo() {
  m_nPhoneRev = 0;
  m_strSwVer.clear();
  m_strCompiled.clear();
  m_strPcbVer.clear();
  UpdateData(false);
  m_services.Pause(300);
}

void CTarviselDlg::ParseVersionReply() {
  ClearPhoneInfo();
  if (m_comm.GetRxSize() < kVersionReplySize) return;  // judged too short before it got here
  const PhoneInfo info = DecodeVersionReply(m_pResp);
  m_nPhoneRev = info.revision;
  m_strSwVer = info.swVersion;
  m_strCompiled = info.compiled;
  m_strPcbVer = info.pcbVersion;
  UpdateData(false);
  m_events.OnPhoneInfo(info);
}

bool CTarviselDlg::ConfirmVersion() {
  UpdateData(false);
  if (m_nType == TYPE_FONT) return true;
  if (m_nPhoneRev == m_nFileVer) return true;
  return m_services.MessageBox(Tr("S/W version is different. Downloading continue?"), "", MB_YESNO) != IDNO;
}
