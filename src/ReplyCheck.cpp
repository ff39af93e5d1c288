#include "ReplyCheck.h"

#include <algorithm>

CReplyCheck::Verdict CReplyCheck::JudgeAnswer(const uint8_t* bytes, size_t size, bool fcsMatches, bool canTeachOther) {
  m_settledOnRepeat = false;
  m_revoked = false;
  switch (m_kind) {
    case Kind::Fcs16:
      return fcsMatches ? Verdict::Verified : Verdict::Damaged;
    case Kind::Other:
      if (!fcsMatches) return Verdict::Unverified;
      m_kind = Kind::Fcs16;
      m_revoked = true;
      return Verdict::Verified;
    case Kind::Unknown:
      break;
  }
  if (fcsMatches) {
    m_kind = Kind::Fcs16;
    m_mismatch.clear();
    return Verdict::Verified;
  }
  if (!canTeachOther) return Verdict::Damaged;
  if (!m_mismatch.empty() && m_mismatch.size() == size && std::equal(bytes, bytes + size, m_mismatch.begin())) {
    m_kind = Kind::Other;
    m_mismatch.clear();
    m_settledOnRepeat = true;
    return Verdict::Unverified;
  }
  m_mismatch.assign(bytes, bytes + size);
  return Verdict::Damaged;
}

CReplyCheck::Verdict CReplyCheck::JudgeStray(bool fcsMatches) {
  m_settledOnRepeat = false;
  m_revoked = false;
  if (m_kind == Kind::Other) {
    if (!fcsMatches) return Verdict::Unverified;
    m_kind = Kind::Fcs16;
    m_revoked = true;
    return Verdict::Verified;
  }
  return fcsMatches ? Verdict::Verified : Verdict::Damaged;
}

void CReplyCheck::Reset() {
  m_kind = Kind::Unknown;
  m_mismatch.clear();
  m_settledOnRepeat = false;
  m_revoked = false;
}
