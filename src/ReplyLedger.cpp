#include "ReplyLedger.h"

void CReplyLedger::Reset() {
  m_owed.clear();
  m_sends = 0;
  m_replies = 0;
  m_writtenOff = 0;
}

void CReplyLedger::OnSend(uint64_t txEnd) {
  m_owed.push_back(txEnd);
  ++m_sends;
}

CReplyLedger::Match CReplyLedger::OnReply(uint64_t hostBytesOut) {
  if (m_owed.empty()) {
    ++m_replies;
    return Match::Nothing;
  }
  if (m_owed.front() > hostBytesOut) return Match::TooEarly;
  m_owed.pop_front();
  ++m_replies;
  return Match::Answers;
}

void CReplyLedger::WriteOff() {
  m_writtenOff += static_cast<uint32_t>(m_owed.size());
  m_owed.clear();
}
