// The engine's waits: each request noted as it goes, its reply timer, the quiet time before owed
// replies are written off, the short listens and the notes of a long wait. CReplyWait decides;
// this arms the timers and acts when they run out.
#include <algorithm>
#include <cstdio>

#include "engine/DownloadCore.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

namespace {
// A line in the log this often while a long wait goes on.
constexpr uint32_t kWaitNoteMs = 10000;
}  // namespace

void CDownloadCore::NoteRequest(bool expectsReply) {
  if (m_wait.Owed() > 0) {
    trace::Printf("engine: %zu owed replies written off before a new request\n", m_wait.Owed());
  }
  KillTimer(TM_WAIT);
  KillTimer(TM_WAIT_NOTE);
  const uint64_t now = m_nowMs;
  m_waitSinceMs = now;
  m_bSendSplit = false;
  m_nRetry = 0;  // every new request gets its own expiries
  m_wait.OnNewRequest(WorkInHand(), m_txEnd, now, expectsReply, LastSendLineMs());
}

uint64_t CDownloadCore::LastSendLineMs() const {
  // The ToDM sequence goes as raw bytes, a few at 9600 bit/s: no frame of its own.
  if (m_nState == DL_TO_DM || m_baud == 0) return 0;
  return (uint64_t{m_lastFrameBytes} * 10 * 1000 + m_baud - 1) / m_baud;
}

void CDownloadCore::ResendRequest(ResendCause cause) {
  if (m_nState == DL_TO_DM) {
    SendToDmSequence(m_lastCmd);
  } else {
    ResendLastPacket();
  }
  m_bSendSplit = false;
  m_wait.OnResend(m_txEnd, m_nowMs, LastSendLineMs());
  ArmReplyTimer(m_nTimerId, m_nTimerMs);
  ResendInfo info;
  info.phase = m_phase.value_or(EnginePhase::Module);
  info.cause = cause;
  info.send = static_cast<int>(m_wait.Sends());
  if (m_wait.RequestWork() == CReplyWait::Work::Block)
    info.address = m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx - 1) * 4096u;
  Emit(engine::Resent{info});
}

void CDownloadCore::ArmReplyTimer(uint32_t id, uint32_t ms) {
  m_nTimerId = id;
  m_nTimerMs = ms;
  // A handset that has shown it takes longer than the period is given that long: resends it
  // cannot take while busy only cost a drain.
  const uint32_t armed = m_wait.ReplyMs(WorkInHand(), ms);
  if (armed != ms) trace::Printf("engine: reply time %u ms for a handset this slow (period %u ms)\n", armed, ms);
  m_replyDueMs = m_nowMs + armed;
  SetTimer(id, armed);
  if (armed > kWaitNoteMs) SetTimer(TM_WAIT_NOTE, kWaitNoteMs);
}

void CDownloadCore::ArmQuietTimer() {
  const uint64_t now = m_nowMs;
  const uint64_t due =
      std::min(m_wait.LastActivityMs() + m_wait.QuietMs(m_nTimerMs), m_wait.WaitDeadlineMs(m_nTimerMs));
  SetTimer(TM_WAIT, due > now ? static_cast<uint32_t>(due - now) : 1);
  if (m_wait.QuietMs(m_nTimerMs) > kWaitNoteMs) SetTimer(TM_WAIT_NOTE, kWaitNoteMs);
}

void CDownloadCore::OnWaitTimer() {
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
  const uint64_t now = m_nowMs;
  const uint32_t quiet = m_wait.QuietMs(m_nTimerMs);
  const uint64_t due = m_wait.LastActivityMs() + quiet;
  const uint64_t late = m_wait.LateBoundMs(m_nTimerMs);
  bool neverQuiet = false;
  if (now < due) {
    const uint64_t deadline = m_wait.WaitDeadlineMs(m_nTimerMs);
    // Past the bound, and past the time any owed reply could still come: what keeps the line
    // busy is not theirs (a line chattering until the host speaks), and they are written off.
    // Sent again instead, the request's answer would be taken for one of theirs.
    neverQuiet = now >= deadline && now >= late;
    if (now >= deadline && !neverQuiet) {
      if (m_wait.Sends() >= CReplyWait::kMaxSends || m_wait.Outlived(now, m_nTimerMs)) {
        EndNeverQuiet();
        return;
      }
      // The same request again: no answer to it can be taken for another's, and a handset that
      // repeats itself until the host speaks falls quiet.
      trace::Printf("engine: the line never fell quiet: the request in hand goes again\n");
      QueueLog(4, Tr("The line never fell quiet while answers were owed: the request goes again"));
      m_wait.RestartWaitBound(now);
      ResendRequest(ResendCause::NoReply);
      ArmQuietTimer();
      return;
    }
    if (!neverQuiet) {
      SetTimer(TM_WAIT, static_cast<uint32_t>(std::min(due, deadline) - now));
      return;
    }
  }
  // Quiet, but an owed reply may still be on its way as late as a reply may be.
  if (now < late) {
    trace::Printf("engine: quiet, but an owed reply may come until %llu ms: waiting\n", static_cast<unsigned long long>(late));
    SetTimer(TM_WAIT, static_cast<uint32_t>(late - now));
    return;
  }
  const uint32_t quietFor = static_cast<uint32_t>(now - m_wait.LastActivityMs());
  trace::Printf("engine: %zu owed replies did not come in %u ms of quiet: written off\n", m_wait.Owed(), quietFor);
  char text[200];
  if (neverQuiet) {
    std::snprintf(text, sizeof text,
                  Tr("No answer came to %u earlier sends in time, and the line did not fall quiet: going on without them"),
                  static_cast<unsigned>(m_wait.Owed()));
  } else {
    std::snprintf(text, sizeof text, Tr("No answer came to %u earlier sends in %u ms of quiet: going on without them"),
                  static_cast<unsigned>(m_wait.Owed()), quietFor);
  }
  QueueLog(4, text);
  KillTimer(TM_WAIT_NOTE);
  m_wait.OnQuiet();
  if (state == CReplyWait::State::Drain) {
    AdvanceWithHeldAnswer();
  } else {
    EraseAgain();
  }
}

void CDownloadCore::NoteWaiting() {
  const uint64_t s = (m_nowMs - m_waitSinceMs) / 1000;
  char text[160];
  switch (m_wait.GetState()) {
    case CReplyWait::State::Reply:
      std::snprintf(text, sizeof text,
                    m_wait.RequestWork() == CReplyWait::Work::Erase ? Tr("Flash erase: no answer yet after %llu s")
                                                                    : Tr("No answer yet after %llu s"),
                    static_cast<unsigned long long>(s));
      break;
    case CReplyWait::State::Drain:
      std::snprintf(text, sizeof text,
                    Tr("Answered; waiting for the answer still owed to the request sent again (%llu s)"),
                    static_cast<unsigned long long>(s));
      break;
    case CReplyWait::State::GiveUp:
      std::snprintf(text, sizeof text, Tr("No answer: waiting for the handset to fall quiet before erasing again (%llu s)"),
                    static_cast<unsigned long long>(s));
      break;
    default:
      return;
  }
  QueueLog(4, text);
  SetTimer(TM_WAIT_NOTE, kWaitNoteMs);
}

