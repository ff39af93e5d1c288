#include "ReplyWait.h"

#include <algorithm>

namespace {
// A handset that once took twice its period may do so again; beyond four periods a request is
// as good as unanswered.
constexpr uint64_t kSlowFactor = 2;
constexpr uint64_t kMostPeriods = 4;
}  // namespace

void CReplyWait::Reset() { *this = CReplyWait{}; }

void CReplyWait::OnNewRequest(Work work, uint64_t txEnd, uint64_t nowMs, bool expectsReply, uint64_t lineMs) {
  WriteOff();  // the caller waited for them; a speed change may have left some
  m_suspect = m_writtenOffLast;
  m_writtenOffLast = false;
  // After a write-off the written-off request's time stays for one of its kind: the answer that
  // comes now may be one of its late ones, and the real one follows within that long.
  if (!m_suspect || work != m_work) m_localSlowMs = 0;
  m_work = work;
  m_answered = false;
  m_sends = 1;
  m_requestSinceMs = nowMs;
  ++m_totalSends;
  m_lastActivityMs = nowMs;
  m_heard = false;
  if (!expectsReply) {
    m_state = State::Idle;
    return;
  }
  m_owed.push_back(Send{txEnd, nowMs, true, lineMs});
  m_state = State::Reply;
}

void CReplyWait::OnResend(uint64_t txEnd, uint64_t nowMs, uint64_t lineMs) {
  m_owed.push_back(Send{txEnd, nowMs, false, lineMs});
  if (m_state == State::Idle) m_state = State::Reply;  // after the short wait of a refusal
  ++m_sends;
  ++m_totalSends;
  m_lastActivityMs = nowMs;
  m_heard = false;
}

void CReplyWait::WriteOff() {
  m_writtenOff += static_cast<uint32_t>(m_owed.size());
  m_owed.clear();
}

CReplyWait::Match CReplyWait::Classify(uint64_t hostBytesOut) const {
  if (m_owed.empty()) return Match::Nothing;
  return m_owed.front().txEnd > hostBytesOut ? Match::TooEarly : Match::Answers;
}

bool CReplyWait::OldestOwedHasLeft(uint64_t hostBytesOut) const {
  return !m_owed.empty() && m_owed.front().txEnd <= hostBytesOut;
}

size_t CReplyWait::SendsLeftBy(uint64_t hostBytesOut) const {
  size_t n = 0;
  for (const Send& s : m_owed) {
    if (s.txEnd <= hostBytesOut) ++n;
  }
  return n;
}

void CReplyWait::Learn(const Send& send, uint64_t nowMs, uint64_t hostBytesOut) {
  const uint64_t began = std::max(send.atMs, m_lastAnswerMs);
  const uint64_t most = nowMs > began ? nowMs - began : 0;
  m_localSlowMs = std::max(m_localSlowMs, most);
  // Which sends it could answer: the one it is matched to, and any later one that had left.
  uint64_t newestLeftMs = send.atMs;
  if (SendsLeftBy(hostBytesOut) > 0) {
    for (const Send& s : m_owed) {
      if (s.txEnd <= hostBytesOut) newestLeftMs = std::max(newestLeftMs, s.atMs);
    }
  }
  const uint64_t leastBegan = std::max(newestLeftMs, m_lastAnswerMs);
  const uint64_t least = nowMs > leastBegan ? nowMs - leastBegan : 0;
  uint64_t& slowest = m_slowestMs[static_cast<size_t>(m_work)];
  slowest = std::max(slowest, least);
}

CReplyWait::Next CReplyWait::OnAnswer(bool accepted, bool refusalWantsResend, uint64_t nowMs, uint64_t hostBytesOut) {
  if (m_owed.empty()) return Next::Wait;
  const Send send = m_owed.front();
  m_owed.pop_front();
  ++m_replies;
  m_lastActivityMs = nowMs;
  Learn(send, nowMs, hostBytesOut);
  m_lastAnswerMs = nowMs;
  switch (m_state) {
    case State::Reply:
      if (accepted) {
        m_answered = true;
        return AfterAnswered(nowMs);
      }
      if (!refusalWantsResend || !m_owed.empty()) return Next::Wait;  // a later send is the resend
      return Next::SendAgain;
    case State::Drain:
      if (!m_owed.empty()) return Next::Wait;
      m_state = State::Idle;
      return Next::Advance;
    case State::GiveUp:
      if (accepted) {
        // It was done after all: what was given up on needs no give-up.
        m_answered = true;
        return AfterAnswered(nowMs);
      }
      if (!m_owed.empty()) return Next::Wait;
      m_state = State::Idle;
      return Next::GiveUp;
    default:
      return Next::Wait;
  }
}

CReplyWait::Next CReplyWait::AfterAnswered(uint64_t nowMs) {
  if (m_owed.empty()) {
    m_state = State::Idle;
    return Next::Advance;
  }
  if (m_state != State::Drain && m_state != State::GiveUp) m_waitBeganMs = nowMs;
  m_state = State::Drain;
  return Next::Wait;
}

CReplyWait::Next CReplyWait::OnGiveUp(uint64_t nowMs) {
  m_lastActivityMs = std::max(m_lastActivityMs, nowMs);
  if (m_owed.empty()) {
    m_state = State::Idle;
    return Next::GiveUp;
  }
  m_state = State::GiveUp;
  m_waitBeganMs = nowMs;
  return Next::Wait;
}

uint64_t CReplyWait::WaitDeadlineMs(uint32_t periodMs) const {
  const uint64_t bound = kSlowFactor * std::max<uint64_t>(QuietMs(periodMs), periodMs);
  return std::min(m_waitBeganMs + bound, m_requestSinceMs + kRequestPeriods * periodMs);
}

uint64_t CReplyWait::LateBoundMs(uint32_t periodMs) const {
  uint64_t bound = 0;
  for (const Send& s : m_owed) bound = std::max(bound, s.atMs + s.lineMs + kLatePeriods * periodMs);
  return bound;
}

void CReplyWait::OnQuiet() {
  m_writtenOffLast = !m_owed.empty();
  WriteOff();
  m_state = State::Idle;
}

uint32_t CReplyWait::ConfirmMs(uint32_t leastMs) const {
  const uint64_t slow = std::max(m_slowestMs[static_cast<size_t>(m_work)], m_localSlowMs);
  return static_cast<uint32_t>(std::max<uint64_t>(leastMs, kSlowFactor * slow));
}

uint32_t CReplyWait::QuietMs(uint32_t periodMs) const {
  // The owed replies may each take as long as the slowest this request has shown.
  const uint64_t local = std::min<uint64_t>(kSlowFactor * m_localSlowMs, kMostPeriods * periodMs);
  const uint32_t ms = std::max<uint32_t>(ReplyMs(m_work, periodMs), static_cast<uint32_t>(local));
  if (m_state != State::GiveUp || m_heard) return ms;
  return std::max<uint32_t>(ms, static_cast<uint32_t>(kMostPeriods * periodMs));
}

uint32_t CReplyWait::ReplyMs(Work work, uint32_t periodMs) const {
  const uint64_t slow = kSlowFactor * m_slowestMs[static_cast<size_t>(work)];
  const uint64_t ms = std::min<uint64_t>(std::max<uint64_t>(periodMs, slow), kMostPeriods * periodMs);
  return static_cast<uint32_t>(ms);
}
