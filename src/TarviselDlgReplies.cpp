// The reply dispatch: which request a reply answers, whether it can be read, and the answer
// moving the engine on. CReplyWait decides when the next request may go: only once nothing is
// owed, so that a late reply is matched to the send it answers and never to a newer request.
// A NAK of a download-mode request means the handset waits for it again: it goes at once. A
// download-mode reply that no send owes means the engine and the handset no longer agree which
// request is which: the download cannot be trusted.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ResponseCheck.h"
#include "TarviselDlg.h"
#include "platform/Trace.h"

namespace {
// A damaged frame that came after a send had left is most likely its answer: the request goes
// again after this much quiet rather than after the rest of a long reply time (an erase's).
constexpr uint32_t kDamagedAnswerMs = 3000;
// A line in the log this often while a long wait goes on.
constexpr uint32_t kWaitNoteMs = 10000;

constexpr uint8_t kDmErrorCodes[] = {0x13, 0x15, 0x18};
}  // namespace

CReplyWait::Work CTarviselDlg::WorkInHand() const {
  if (m_nState != DL_DOWNLOAD) return CReplyWait::Work::Short;
  if (m_nDlStep == STEP_ERASE) return CReplyWait::Work::Erase;
  if (m_nDlStep == STEP_WRITE) return CReplyWait::Work::Block;
  return CReplyWait::Work::Short;
}

void CTarviselDlg::NoteRequest(bool expectsReply) {
  if (m_wait.Owed() > 0) {
    trace::Printf("engine: %zu owed replies written off before a new request\n", m_wait.Owed());
  }
  m_services.KillTimer(TM_WAIT);
  m_services.KillTimer(TM_WAIT_NOTE);
  const uint64_t now = m_services.ClockMs();
  m_waitSinceMs = now;
  m_bSendSplit = false;
  m_wait.OnNewRequest(WorkInHand(), m_comm.GetTxEnd(), now, expectsReply);
}

void CTarviselDlg::ResendRequest(ResendCause cause) {
  if (m_nState == DL_TO_DM) {
    m_comm.SendToDmSequence(m_comm.GetLastCmd());
  } else {
    m_comm.ResendLastPacket();
  }
  m_bSendSplit = false;
  m_wait.OnResend(m_comm.GetTxEnd(), m_services.ClockMs());
  ArmReplyTimer(m_nTimerId, m_nTimerMs);
  ResendInfo info;
  info.phase = m_phase.value_or(EnginePhase::Module);
  info.cause = cause;
  info.send = static_cast<int>(m_wait.Sends());
  if (m_wait.RequestWork() == CReplyWait::Work::Block)
    info.address = m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx - 1) * 4096u;
  m_events.OnResend(info);
}

void CTarviselDlg::ArmReplyTimer(uint32_t id, uint32_t ms) {
  m_nTimerId = id;
  m_nTimerMs = ms;
  // A handset that has shown it takes longer than the period is given that long: resends it
  // cannot take while busy only cost a drain.
  const uint32_t armed = m_wait.ReplyMs(WorkInHand(), ms);
  if (armed != ms) trace::Printf("engine: reply time %u ms for a handset this slow (period %u ms)\n", armed, ms);
  m_replyDueMs = m_services.ClockMs() + armed;
  m_services.SetTimer(id, armed);
  if (armed > kWaitNoteMs) m_services.SetTimer(TM_WAIT_NOTE, kWaitNoteMs);
}

bool CTarviselDlg::AnswersDmRequestInHand() const {
  if (m_nState == DL_DOWNLOAD || m_nState == DL_TO_DM || m_comm.GetRxSize() == 0) return true;
  const uint8_t code = m_pResp[0];
  if (code == m_comm.GetLastCmd()) return true;
  for (uint8_t e : kDmErrorCodes) {
    if (code == e) return true;
  }
  return false;
}

CReplyCheck::Verdict CTarviselDlg::JudgeCheck(bool answer) {
  switch (m_comm.GetRxCheck()) {
    case RxCheck::Damaged:
      return CReplyCheck::Verdict::Damaged;
    case RxCheck::None:
    case RxCheck::Crc30:
      return CReplyCheck::Verdict::Verified;
    case RxCheck::FcsMatch:
    case RxCheck::FcsMismatch:
      break;
  }
  const bool dload = m_comm.IsRxDload();
  CReplyCheck& check = dload ? m_dloadCheck : m_plainCheck;
  const bool fcs = m_comm.GetRxCheck() == RxCheck::FcsMatch;
  const CReplyCheck::Kind before = check.Get();
  const CReplyCheck::Verdict v =
      answer ? check.JudgeAnswer(m_pResp, m_comm.GetRxFullSize(), fcs) : check.JudgeStray(fcs);
  if (check.Get() != before) {
    trace::Printf(check.Get() == CReplyCheck::Kind::Fcs16
                      ? "engine: %s replies end in their FCS-16: checked from now on\n"
                      : "engine: %s replies repeat with another check: taken unchecked\n",
                  dload ? "download-mode" : "plain DM");
  }
  // Unchecked, a download-mode reply longer than a code and two check bytes has noise in it
  // (02 A1 .. is no ACK): refuse it rather than guess which byte is the code.
  if (v == CReplyCheck::Verdict::Unverified && dload && m_comm.GetRxSize() != 1) return CReplyCheck::Verdict::Damaged;
  return v;
}

long CTarviselDlg::OnRxPacket(uintptr_t, intptr_t) {
  m_pResp = m_comm.m_RxBuf.data();
  const uint64_t now = m_services.ClockMs();
  const CReplyWait::Match match =
      m_command ? m_wait.Classify(m_comm.GetRxBytesOut()) : CReplyWait::Match::Nothing;
  const bool answer = match == CReplyWait::Match::Answers;
  if (JudgeCheck(answer && AnswersDmRequestInHand()) == CReplyCheck::Verdict::Damaged) {
    OnDamagedFrame(now);
    return 1;
  }
  if (!m_command || !AnswersDmRequestInHand()) {
    // Nothing waits for it, or it names an earlier DM request: logged, not an answer.
    ValidateResponse();
    return 1;
  }
  switch (match) {
    case CReplyWait::Match::TooEarly:
      OnEarlyReply();
      return 1;
    case CReplyWait::Match::Nothing:
      OnUnmatchedReply();
      return 1;
    case CReplyWait::Match::Answers:
      break;
  }
  OnAnswer(now);
  return 1;
}

void CTarviselDlg::OnAnswer(uint64_t nowMs) {
  const bool accepted = ValidateResponse();
  if (accepted && m_bSendSplit) {
    // The block was refused in pieces: an ACK now answers some other send.
    EndOutOfStep();
    return;
  }
  // A NAK in download mode: the handset waits for the request again. DM errors are left to
  // the reply timer.
  const bool refusalWantsResend = !accepted && m_nState == DL_DOWNLOAD;
  const CReplyWait::State before = m_wait.GetState();
  CReplyWait::Next next = m_wait.OnAnswer(accepted, refusalWantsResend, nowMs);
  // A handset with another check was just recognised by a second answer like the one before:
  // that one answered a send too.
  const CReplyCheck& check = m_comm.IsRxDload() ? m_dloadCheck : m_plainCheck;
  if (check.SettledOnRepeat() && next == CReplyWait::Next::Wait && m_wait.Owed() > 0)
    next = m_wait.OnAnswer(accepted, refusalWantsResend, nowMs);
  if (accepted && (before == CReplyWait::State::Reply || before == CReplyWait::State::GiveUp)) {
    m_services.KillTimer(m_nTimerId);
    m_services.KillTimer(TM_WAIT_NOTE);
    m_heldResp = m_rxPacket;
    if (before == CReplyWait::State::GiveUp) trace::Printf("engine: the request given up on was answered after all\n");
    if (m_wait.GetState() == CReplyWait::State::Drain) {
      trace::Printf("engine: answered with %zu replies still owed: waiting for them\n", m_wait.Owed());
      m_waitSinceMs = nowMs;
    }
  }
  switch (next) {
    case CReplyWait::Next::Wait:
      if (m_wait.GetState() == CReplyWait::State::Drain || m_wait.GetState() == CReplyWait::State::GiveUp)
        ArmQuietTimer();
      break;
    case CReplyWait::Next::Advance:
      if (m_wait.Suspect()) {
        const uint32_t ms = m_wait.ConfirmMs(kSecondReplyMs);
        trace::Printf("engine: the first answer after a write-off: listening %u ms before going on\n", ms);
        m_wait.BeginConfirm();
        m_services.SetTimer(TM_WAIT, ms);
        break;
      }
      AdvanceWithHeldAnswer();
      break;
    case CReplyWait::Next::SendAgain:
      // Not quite at once: were the engine one reply behind the handset, the answer to the send
      // it took the NAK for would come now, and a resend would swallow it.
      m_wait.BeginRetry();
      m_services.SetTimer(TM_WAIT, kSecondReplyMs);
      break;
    case CReplyWait::Next::GiveUp:
      EraseAgain();
      break;
  }
}

void CTarviselDlg::OnRefused() {
  if (m_wait.Sends() >= CReplyWait::kMaxSends) {
    trace::Printf("engine: refused %u times: given up\n", m_wait.Sends());
    GiveUpRequest(true);
    return;
  }
  ResendRequest(ResendCause::Refused);
}

void CTarviselDlg::OnDamagedFrame(uint64_t nowMs) {
  QueueLog(3, kBadFrameText);
  if (!m_command) return;
  m_wait.OnActivity(nowMs);
  switch (m_wait.GetState()) {
    case CReplyWait::State::Reply:
      if (m_wait.OldestOwedHasLeft(m_comm.GetRxBytesOut()) && m_replyDueMs > nowMs + kDamagedAnswerMs) {
        m_services.SetTimer(m_nTimerId, kDamagedAnswerMs);
        m_replyDueMs = nowMs + kDamagedAnswerMs;
      }
      break;
    case CReplyWait::State::Drain:
    case CReplyWait::State::GiveUp:
      ArmQuietTimer();
      break;
    default:
      break;
  }
}

bool CTarviselDlg::IsAck() const { return m_comm.GetRxSize() >= 1 && m_pResp[0] == kAckCode; }

void CTarviselDlg::OnEarlyReply() {
  // A refusal while a block is still on its way: noise made a flag in it (or more), and the
  // handset refused the piece before it. The rest arrives as a frame of its own and is refused
  // too; that refusal is the send's answer. A split block can never be acknowledged.
  if (m_nState == DL_DOWNLOAD && !IsAck() && m_wait.GetState() == CReplyWait::State::Reply &&
      m_wait.RequestWork() == CReplyWait::Work::Block && m_wait.Owed() == 1) {
    ValidateResponse();
    trace::Printf("engine: a refusal while the block was still on its way: noise split it\n");
    m_bSendSplit = true;
    m_wait.OnActivity(m_services.ClockMs());
    return;
  }
  // An answer to an earlier request. Another ACK of it changes nothing; anything else disowns
  // an answer already acted on. Before the first download-mode request has left, no such answer
  // has been taken: what comes then answers the switch to download mode (its reply again, or
  // an error naming it), and a DM reply owed by nobody is a stray.
  if (m_nState == DL_DOWNLOAD && m_nDlStep != STEP_START && !IsAck()) {
    ValidateResponse();
    EndOutOfStep();
    return;
  }
  QueueLog(4, "[RX]Reply ignored: it came before the request had gone out");
}

void CTarviselDlg::OnUnmatchedReply() {
  if (m_nState == DL_DOWNLOAD && m_wait.GetState() == CReplyWait::State::Settle && IsAck()) {
    QueueLog(4, "[RX]Reply ignored: a second ACK of the last request");
    return;
  }
  if (m_nState == DL_DOWNLOAD && m_wait.GetState() == CReplyWait::State::Retry && !IsAck()) {
    ValidateResponse();  // the refusal again: the request goes again all the same
    return;
  }
  if (m_nState == DL_DOWNLOAD) {
    trace::Printf("engine: a reply with none owed (%u sent, %u replies, %u written off)\n", m_wait.TotalSends(),
                  m_wait.Replies(), m_wait.WrittenOff());
    EndOutOfStep();
    return;
  }
  // DM and ToDM replies carry their command: one owed by nobody is a stray, logged and left.
  ValidateResponse();
  QueueLog(4, "[RX]Reply ignored: no request was waiting for it");
}

void CTarviselDlg::ArmQuietTimer() {
  const uint64_t now = m_services.ClockMs();
  const uint64_t due = m_wait.LastActivityMs() + m_wait.QuietMs(m_nTimerMs);
  m_services.SetTimer(TM_WAIT, due > now ? static_cast<uint32_t>(due - now) : 1);
  if (m_wait.QuietMs(m_nTimerMs) > kWaitNoteMs) m_services.SetTimer(TM_WAIT_NOTE, kWaitNoteMs);
}

void CTarviselDlg::OnWaitTimer() {
  const CReplyWait::State state = m_wait.GetState();
  switch (state) {
    case CReplyWait::State::Settle:
      m_wait.EndWait();
      if (m_nDlStep == STEP_WRITE) {
        SendFinalJump();
      } else {
        DloadStep();
      }
      return;
    case CReplyWait::State::Listen:
      m_wait.EndWait();
      FinishDownload();
      return;
    case CReplyWait::State::Retry:
      m_wait.EndWait();
      OnRefused();
      return;
    case CReplyWait::State::Confirm:
      m_wait.EndWait();
      AdvanceWithHeldAnswer();
      return;
    case CReplyWait::State::Drain:
    case CReplyWait::State::GiveUp:
      break;
    default:
      return;
  }
  const uint64_t now = m_services.ClockMs();
  const uint32_t quiet = m_wait.QuietMs(m_nTimerMs);
  const uint64_t due = m_wait.LastActivityMs() + quiet;
  if (now < due) {
    m_services.SetTimer(TM_WAIT, static_cast<uint32_t>(due - now));
    return;
  }
  trace::Printf("engine: %zu owed replies did not come in %u ms of quiet: written off\n", m_wait.Owed(), quiet);
  m_services.KillTimer(TM_WAIT_NOTE);
  m_wait.OnQuiet();
  if (state == CReplyWait::State::Drain) {
    AdvanceWithHeldAnswer();
  } else {
    EraseAgain();
  }
}

void CTarviselDlg::NoteWaiting() {
  const uint64_t s = (m_services.ClockMs() - m_waitSinceMs) / 1000;
  char text[160];
  switch (m_wait.GetState()) {
    case CReplyWait::State::Reply:
      std::snprintf(text, sizeof text,
                    m_wait.RequestWork() == CReplyWait::Work::Erase ? "Flash erase: no answer yet after %llu s"
                                                                    : "No answer yet after %llu s",
                    static_cast<unsigned long long>(s));
      break;
    case CReplyWait::State::Drain:
      std::snprintf(text, sizeof text,
                    "Answered; waiting for the answer still owed to the request sent again (%llu s)",
                    static_cast<unsigned long long>(s));
      break;
    case CReplyWait::State::GiveUp:
      std::snprintf(text, sizeof text, "No answer: waiting for the handset to fall quiet before erasing again (%llu s)",
                    static_cast<unsigned long long>(s));
      break;
    default:
      return;
  }
  QueueLog(4, text);
  m_services.SetTimer(TM_WAIT_NOTE, kWaitNoteMs);
}

void CTarviselDlg::AdvanceWithHeldAnswer() {
  m_comm.StoreResponse(m_heldResp);
  m_rxPacket = m_heldResp;
  m_pResp = m_comm.m_RxBuf.data();
  Advance();
}

bool CTarviselDlg::PauseFor(uint32_t ms) {
  m_services.Pause(ms);
  if (!m_bStopAsked) return true;
  trace::Printf("engine: Stop came during a pause: nothing more is sent\n");
  return false;
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
      // The module's set-up requests are a few bytes each; block writes outlast the wait.
      if (m_nDlStep < STEP_ERASE) {
        Settle();
      } else {
        DloadStep();
      }
      break;
    default:
      break;
  }
}

void CTarviselDlg::StopAwaiting() {
  m_services.KillTimer(m_nTimerId);
  m_services.KillTimer(TM_WAIT);
  m_services.KillTimer(TM_WAIT_NOTE);
  m_wait.Reset();
  m_eraseWait.reset();
}

void CTarviselDlg::EndOutOfStep() {
  StopAwaiting();
  AppendLog(kColorRed, kOutOfStepText);
  ShowNoReply();
  EndCommand(Outcome::OutOfStep);
}

void CTarviselDlg::EndNoReply() {
  m_nRetry = 0;
  StopAwaiting();
  AppendLog(kColorRed, "응답이 없습니다.");
  ShowNoReply();
  EndCommand(Outcome::NoReply);
}

void CTarviselDlg::EndRefusedByHandset() {
  m_nRetry = 0;
  StopAwaiting();
  char text[128];
  std::snprintf(text, sizeof text, "The handset refused the request %u times in a row: the download stopped.",
                CReplyWait::kMaxSends);
  AppendLog(kColorRed, text);
  ShowNoReply();
  EndCommand(Outcome::HandsetRefused);
}

void CTarviselDlg::FinishDownload() {
  trace::Printf("engine: download done: %u requests sent, %u replies, %u written off\n", m_wait.TotalSends(),
                m_wait.Replies(), m_wait.WrittenOff());
  m_services.MessageBox("Downloading completed", "", MB_OK);
  EndCommand(Outcome::Completed);
}
