#include "Comm/ReplyCheck.h"

CReplyCheck::Verdict CReplyCheck::Judge(bool fcsMatches) {
  switch (m_kind.load()) {
    case Kind::Fcs16:
      return fcsMatches ? Verdict::Verified : Verdict::Rejected;
    case Kind::Other:
      return Verdict::Unverified;
    case Kind::Unknown:
      break;
  }
  if (fcsMatches) {
    m_kind = Kind::Fcs16;
    m_mismatches = 0;
    return Verdict::Verified;
  }
  if (++m_mismatches >= 2) {
    m_kind = Kind::Other;
    return Verdict::Unverified;
  }
  return Verdict::Rejected;
}

void CReplyCheck::Reset() {
  m_kind = Kind::Unknown;
  m_mismatches = 0;
}
