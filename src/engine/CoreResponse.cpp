// Judging the handset's replies by the engine state (ResponseCheck), and the version reply's
// phone information and question.
#include "ResponseCheck.h"
#include "engine/DownloadCore.h"
#include "platform/Translate.h"

bool CDownloadCore::ValidateResponse() {
  const size_t size = RxSize();
  ReplyVerdict v;
  switch (m_nState) {
    case DL_DOWNLOAD:
      v = JudgeDloadReply(Resp(), size);
      break;
    case DL_TO_DM:
      v = JudgeToDmReply(Resp(), size);
      break;
    default:
      v = JudgeDmReply(Resp(), size, m_lastCmd);
      break;
  }
  // The reply's line as the user reads it: the texts of the tables are translated here.
  if (v.logged) QueueLog(v.kind, v.text.empty() ? v.text : Tr(v.text.c_str()));
  return v.accepted;
}

void CDownloadCore::ClearPhoneInfo() {
  m_nPhoneRev = 0;
  Emit(engine::ClearPhone{});
}

void CDownloadCore::ParseVersionReply() {
  ClearPhoneInfo();
  if (RxSize() < kVersionReplySize) return;  // judged too short before it got here
  const PhoneInfo info = DecodeVersionReply(Resp());
  m_nPhoneRev = info.revision;
  Emit(engine::ShowPhone{info});
}

void CDownloadCore::ConfirmVersion() {
  if (m_nType == TYPE_FONT || m_nPhoneRev == m_nFileVer) {
    AfterVersionConfirmed();
    return;
  }
  // The answer comes back as OnVersionAnswer.
  m_bAskingVersion = true;
  Emit(engine::AskVersion{Tr("S/W version is different. Downloading continue?")});
}
