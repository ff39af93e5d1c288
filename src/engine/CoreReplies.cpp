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
#include "engine/DownloadCore.h"
#include "platform/Translate.h"
#include "platform/Trace.h"

namespace {
// A damaged frame that came after a send had left is most likely its answer: the request goes
// again after this much quiet rather than after the rest of a long reply time (an erase's).
constexpr uint32_t kDamagedAnswerMs = 3000;

constexpr uint8_t kDmErrorCodes[] = {0x13, 0x15, 0x18};
}  // namespace

CReplyWait::Work CDownloadCore::WorkInHand() const {
  if (m_nState != DL_DOWNLOAD) return CReplyWait::Work::Short;
  if (m_nDlStep == STEP_ERASE) return CReplyWait::Work::Erase;
  if (m_nDlStep == STEP_WRITE) return CReplyWait::Work::Block;
  return CReplyWait::Work::Short;
}

bool CDownloadCore::AnswersDmRequestInHand() const {
  if (m_nState == DL_DOWNLOAD || m_nState == DL_TO_DM || RxSize() == 0) return true;
  const uint8_t code = Resp()[0];
  if (code == m_lastCmd) return true;
  for (uint8_t e : kDmErrorCodes) {
    if (code == e) return true;
  }
  return false;
}

CReplyCheck::Verdict CDownloadCore::JudgeCheck(bool answer) {
  switch (m_rxPacket.check) {
    case RxCheck::Damaged:
      return CReplyCheck::Verdict::Damaged;
    case RxCheck::None:
    case RxCheck::Crc30:
      return CReplyCheck::Verdict::Verified;
    case RxCheck::FcsMatch:
    case RxCheck::FcsMismatch:
      break;
  }
  const bool dload = m_rxPacket.dload;
  CReplyCheck& check = dload ? m_dloadCheck : m_plainCheck;
  const bool fcs = m_rxPacket.check == RxCheck::FcsMatch;
  const CReplyCheck::Kind before = check.Get();
  // A download-mode reply is one code and two check bytes, a version reply kVersionReplySize
  // bytes and its two: a frame of another size (noise joined to a reply the same way twice) can
  // never teach another check.
  const bool replySized = dload ? RxSize() == 1
                                : RxSize() == 0 || Resp()[0] != kVersionCmd ||
                                      RxSize() == kVersionReplySize;
  const CReplyCheck::Verdict v =
      answer ? check.JudgeAnswer(Resp(), RxFullSize(), fcs, replySized) : check.JudgeStray(fcs);
  if (check.Revoked()) {
    trace::Printf("engine: %s replies end in their FCS-16 after all: what was taken unchecked was junk\n",
                  dload ? "download-mode" : "plain DM");
    m_bCheckRevoked = true;
  }
  if (check.Get() != before) {
    trace::Printf(check.Get() == CReplyCheck::Kind::Fcs16
                      ? "engine: %s replies end in their FCS-16: checked from now on\n"
                      : "engine: %s replies repeat with another check: taken unchecked\n",
                  dload ? "download-mode" : "plain DM");
  }
  // Unchecked, a download-mode reply longer than a code and two check bytes has noise in it
  // (02 A1 .. is no ACK): refuse it rather than guess which byte is the code.
  if (v == CReplyCheck::Verdict::Unverified && dload && RxSize() != 1) return CReplyCheck::Verdict::Damaged;
  return v;
}

uint64_t CDownloadCore::RxBytesGone() const {
  return m_bLineFaster ? m_rxPacket.hostBytesWritten : m_rxPacket.hostBytesOut;
}

void CDownloadCore::NoteLineFaster() {
  // Before the line time of the send in hand had passed, and too long after the last frame to
  // repeat it: no handset on a serial line can have answered so soon, so this line is faster
  // than its set speed (a pty). From now on a send has gone once the driver let it go.
  if (m_bLineFaster || !m_command || m_wait.GetState() != CReplyWait::State::Reply) return;
  // A refusal may come early on any line: noise split the request, and the handset refused the
  // piece it took for a frame. And after a write-off an early ACK may be a written-off send's
  // late one: taken for a fast line, it would switch the line time off for the whole command.
  if (m_nState == DL_DOWNLOAD && !IsAck()) return;
  // Only a frame whose check bytes hold: a damaged copy of an earlier ACK (a line that chatters)
  // looks like an early one, and would switch the line time off for the whole command.
  // (A handset settled on another check has no frame that holds: its ACK is taken as it comes.)
  const RxCheck check = m_rxPacket.check;
  const CReplyCheck& known = m_rxPacket.dload ? m_dloadCheck : m_plainCheck;
  const bool holds = check == RxCheck::FcsMatch || check == RxCheck::Crc30 ||
                     (check == RxCheck::FcsMismatch && known.Get() == CReplyCheck::Kind::Other);
  if (!holds) return;
  if (m_wait.Suspect()) return;
  if (m_wait.Classify(m_rxPacket.hostBytesOut) != CReplyWait::Match::TooEarly) return;
  if (m_wait.Classify(m_rxPacket.hostBytesWritten) != CReplyWait::Match::Answers) return;
  if (!m_bFrameHeard || m_rxPacket.rxMs < m_lastFrameRxMs + kSecondReplyMs) return;
  trace::Printf("engine: a reply sooner than the line time of its request: the line is faster than its speed\n");
  m_bLineFaster = true;
}

void CDownloadCore::OnFrame(const Moment& at, const RxPacket& frame) {
  At(at);
  m_rxPacket = frame;
  const uint64_t now = m_nowMs;
  NoteLineFaster();
  m_bFrameHeard = true;
  m_lastFrameRxMs = m_rxPacket.rxMs;
  const CReplyWait::Match match = m_command ? m_wait.Classify(RxBytesGone()) : CReplyWait::Match::Nothing;
  const bool answer = match == CReplyWait::Match::Answers;
  m_bCheckRevoked = false;
  const CReplyCheck::Verdict verdict = JudgeCheck(answer && AnswersDmRequestInHand());
  m_bUnchecked = verdict == CReplyCheck::Verdict::Unverified;
  if (m_bCheckRevoked && m_command && m_bUncheckedWork) {
    // An erase, a block or the final jump was taken as done on a reply nobody could check.
    ValidateResponse();
    EndOutOfStep();
    return;
  }
  if (m_bCheckRevoked && m_command && m_nState == DL_DOWNLOAD && match == CReplyWait::Match::Nothing &&
      m_wait.GetState() == CReplyWait::State::Retry && IsAck()) {
    // The refusal about to be answered by a resend was junk taken unchecked: this is the answer
    // it stood in for. The request goes again all the same, and its new answer is taken.
    trace::Printf("engine: the refusal taken unchecked was junk: its request goes again\n");
    QueueLog(4, Tr("[RX]Reply ignored: it came after junk had been taken for its answer; the request goes again"));
    return;
  }
  if (verdict == CReplyCheck::Verdict::Damaged) {
    OnDamagedFrame(now);
    return;
  }
  if (!m_command || !AnswersDmRequestInHand()) {
    // Nothing waits for it, or it names an earlier DM request: logged, not an answer.
    ValidateResponse();
    return;
  }
  switch (match) {
    case CReplyWait::Match::TooEarly:
      OnEarlyReply();
      return;
    case CReplyWait::Match::Nothing:
      OnUnmatchedReply();
      return;
    case CReplyWait::Match::Answers:
      break;
  }
  OnAnswer(now);
  return;
}

bool CDownloadCore::RepeatsLastAnswer() const {
  // While answers to resends are drained (an answer in hand, or a block given up on), or a
  // refusal's resend is still owed its answer, the
  // same reply again within the time a handset repeats itself is the repeat, not the next send's
  // answer: were it taken for that, the real one would come when none is owed, or after the next
  // request had gone. Should it have been the answer after all, the quiet time writes that send
  // off.
  if (m_nState == DL_TO_DM || !m_bAnswerHeard || RxSize() < 1 || Resp()[0] != m_lastAnswerCode ||
      m_rxPacket.rxMs >= m_lastAnswerRxMs + kSecondReplyMs)
    return false;
  // A DM reply names its command, but the same request sent again is answered alike.
  if (m_nState != DL_DOWNLOAD) return m_wait.GetState() == CReplyWait::State::Drain;
  return m_wait.GetState() == CReplyWait::State::Drain || m_wait.GetState() == CReplyWait::State::GiveUp ||
         (m_wait.GetState() == CReplyWait::State::Reply && m_lastAnswerCode != kAckCode);
}

bool CDownloadCore::RepeatsLastRefusal() const {
  return !IsAck() && m_bAnswerHeard && m_lastAnswerCode != kAckCode && RxSize() >= 1 &&
         Resp()[0] == m_lastAnswerCode && m_rxPacket.rxMs < m_lastAnswerRxMs + kSecondReplyMs;
}

bool CDownloadCore::RepeatsSuspectAnswer() const {
  return IsAck() && m_bAnswerHeard && m_lastAnswerCode == kAckCode && RxSize() == 1 &&
         m_rxPacket.rxMs < m_lastAnswerRxMs + kSecondReplyMs;
}

void CDownloadCore::OnAnswer(uint64_t nowMs) {
  if (RepeatsLastAnswer()) {
    QueueLog(4, Tr("[RX]Reply ignored: the same answer again, as a handset repeats one"));
    m_wait.OnActivity(nowMs);
    if (m_wait.GetState() == CReplyWait::State::Drain || m_wait.GetState() == CReplyWait::State::GiveUp)
      ArmQuietTimer();
    return;
  }
  m_bAnswerHeard = RxSize() >= 1;
  if (m_bAnswerHeard) {
    m_lastAnswerCode = Resp()[0];
    m_lastAnswerRxMs = m_rxPacket.rxMs;
  }
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
  if (accepted) m_nRetry = 0;
  // Junk taken for the answer to a set-up request shows soon enough (the handset refuses what
  // follows, or its own answer comes when none is owed); taken for an erase, a block or the
  // final jump it would not.
  if (accepted && m_bUnchecked && (m_nDlStep >= STEP_ERASE && m_nState == DL_DOWNLOAD)) m_bUncheckedWork = true;
  const uint64_t bytesOut = RxBytesGone();
  CReplyWait::Next next = m_wait.OnAnswer(accepted, refusalWantsResend, nowMs, bytesOut);
  // A handset with another check was just recognised by a second answer like the one before:
  // that one answered a send too.
  const CReplyCheck& check = m_rxPacket.dload ? m_dloadCheck : m_plainCheck;
  if (check.SettledOnRepeat() && next == CReplyWait::Next::Wait && m_wait.Owed() > 0)
    next = m_wait.OnAnswer(accepted, refusalWantsResend, nowMs, bytesOut);
  if (accepted && (before == CReplyWait::State::Reply || before == CReplyWait::State::GiveUp)) {
    KillTimer(m_nTimerId);
    KillTimer(TM_WAIT_NOTE);
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
        SetTimer(TM_WAIT, ms);
        break;
      }
      AdvanceWithHeldAnswer();
      break;
    case CReplyWait::Next::SendAgain:
      // Not quite at once: were the engine one reply behind the handset, the answer to the send
      // it took the NAK for would come now, and a resend would swallow it.
      m_wait.BeginRetry();
      SetTimer(TM_WAIT, kSecondReplyMs);
      break;
    case CReplyWait::Next::GiveUp:
      EraseAgain();
      break;
  }
}

void CDownloadCore::OnRefused() {
  if (m_wait.Sends() >= CReplyWait::kMaxSends) {
    trace::Printf("engine: refused %u times: given up\n", m_wait.Sends());
    GiveUpRequest(true);
    return;
  }
  ResendRequest(ResendCause::Refused);
}

void CDownloadCore::OnDamagedFrame(uint64_t nowMs) {
  QueueLog(3, Tr(kBadFrameText));
  if (!m_command) return;
  m_wait.OnActivity(nowMs);
  switch (m_wait.GetState()) {
    case CReplyWait::State::Reply:
      if (m_wait.OldestOwedHasLeft(RxBytesGone()) && m_replyDueMs > nowMs + kDamagedAnswerMs) {
        SetTimer(m_nTimerId, kDamagedAnswerMs);
        m_replyDueMs = nowMs + kDamagedAnswerMs;
      }
      break;
    case CReplyWait::State::Drain:
    case CReplyWait::State::GiveUp:
      ArmQuietTimer();
      break;
    case CReplyWait::State::Confirm:
      // The answer being confirmed may not be this request's after all: this could be its own,
      // damaged (a refusal), or the line chattering until the host speaks. The request goes
      // again: a block written twice is the same block, and its answer settles it.
      if (m_nState == DL_DOWNLOAD) {
        // Bounded as every send of a request is: a line that spoils every listen ends it.
        if (m_wait.Sends() >= CReplyWait::kMaxSends || m_wait.Outlived(nowMs, m_nTimerMs)) {
          trace::Printf("engine: a damaged frame in every listen: the answer cannot be confirmed\n");
          EndOutOfStep();
          break;
        }
        trace::Printf("engine: a damaged frame while the answer after a write-off was confirmed: sent again\n");
        QueueLog(4, Tr("A damaged frame while the answer was confirmed: the request goes again"));
        KillTimer(TM_WAIT);
        m_wait.EndWait();
        ResendRequest(ResendCause::NoReply);
      }
      break;
    case CReplyWait::State::Listen:
      // After the final jump no reply may come; one that came damaged may be the late answer
      // that shows the engine a reply behind.
      if (m_nState == DL_DOWNLOAD) {
        trace::Printf("engine: a damaged frame while no reply may come\n");
        EndOutOfStep();
      }
      break;
    default:
      break;
  }
}

bool CDownloadCore::IsAck() const { return RxSize() >= 1 && Resp()[0] == kAckCode; }

void CDownloadCore::OnEarlyReply() {
  // The refusal just taken as an answer, again within the time a handset repeats one: its
  // repeat. Should it be the refusal of a piece of a block that noise split (A1, as the last
  // answer may have been), the rest of the block is refused too, and that is the send's answer;
  // a split block is never acknowledged, and no repeated ACK can pass for its answer before the
  // block has all gone.
  if (m_nState == DL_DOWNLOAD && RepeatsLastRefusal()) {
    QueueLog(4, Tr("[RX]Reply ignored: the same answer again, as a handset repeats one"));
    return;
  }
  // A refusal while a block is still on its way: noise made a flag in it (or more), and the
  // handset refused the piece before it. The rest arrives as a frame of its own and is refused
  // too; that refusal is the send's answer. A split block can never be acknowledged.
  if (m_nState == DL_DOWNLOAD && !IsAck() && m_wait.GetState() == CReplyWait::State::Reply &&
      m_wait.RequestWork() == CReplyWait::Work::Block && m_wait.Owed() == 1) {
    ValidateResponse();
    trace::Printf("engine: a refusal while the block was still on its way: noise split it\n");
    m_bSendSplit = true;
    m_wait.OnActivity(m_nowMs);
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
  QueueLog(4, Tr("[RX]Reply ignored: it came before the request had gone out"));
}

void CDownloadCore::OnUnmatchedReply() {
  if (m_nState == DL_DOWNLOAD && m_wait.GetState() == CReplyWait::State::Settle && IsAck()) {
    QueueLog(4, Tr("[RX]Reply ignored: a second ACK of the last request"));
    return;
  }
  if (m_nState == DL_DOWNLOAD && m_wait.GetState() == CReplyWait::State::Confirm && RepeatsSuspectAnswer()) {
    // The owed replies were written off only once none could come any more: the answer being
    // confirmed is the request's, and the same ACK again so soon is its repeat.
    QueueLog(4, Tr("[RX]Reply ignored: the same answer again, as a handset repeats one"));
    return;
  }
  if (m_nState == DL_DOWNLOAD &&
      (m_wait.GetState() == CReplyWait::State::Settle || m_wait.GetState() == CReplyWait::State::Confirm) &&
      RepeatsLastRefusal()) {
    // Nothing has gone since the refusal that ended a drain: the same refusal so soon can only
    // be its repeat (or the refusal of another piece of the same send), and a refusal moves
    // nothing on (nor does it show the answer being confirmed to be another's).
    QueueLog(4, Tr("[RX]Reply ignored: the same answer again, as a handset repeats one"));
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
  QueueLog(4, Tr("[RX]Reply ignored: no request was waiting for it"));
}

