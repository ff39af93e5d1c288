#include "Comm/QTextQ.h"

#include <algorithm>
#include <cassert>

#include "platform/Trace.h"

CQTextQ::CQTextQ() : CQTextQ(kSlots - 1) {}

CQTextQ::CQTextQ(int32_t n) {
  m_nSize = std::clamp<int32_t>(n, 1, kSlots - 1) + 1;
  assert(m_nSize > 1);
  Reset();
}

bool CQTextQ::IsEmpty() const { return m_nHead == m_nTail; }

bool CQTextQ::IsFull() const {
  if (Next(m_nTail) != m_nHead) return false;
  trace::Write("TEXT QUEUE FULL\n");
  return true;
}

bool CQTextQ::Put(int32_t kind, const std::string& text) {
  std::lock_guard lock(m_cs);
  if (IsFull()) return false;
  m_Entries[m_nTail].m_nKind = kind;
  m_Entries[m_nTail].m_strText = text;
  m_nTail = Next(m_nTail);
  return true;
}

bool CQTextQ::Put(const CQTextEntry& entry) { return Put(entry.m_nKind, entry.m_strText); }

bool CQTextQ::Get(CQTextEntry& dst) {
  std::lock_guard lock(m_cs);
  if (IsEmpty()) return false;
  dst = m_Entries[m_nHead];
  m_Entries[m_nHead].Clear();
  m_nHead = Next(m_nHead);
  return true;
}

bool CQTextQ::Peek(CQTextEntry& dst) {
  std::lock_guard lock(m_cs);
  if (IsEmpty()) return false;
  dst = m_Entries[m_nHead];
  return true;
}

void CQTextQ::Reset() {
  std::lock_guard lock(m_cs);
  m_nHead = 0;
  m_nTail = 0;
  for (int32_t i = 0; i < m_nSize; ++i) m_Entries[i].Clear();
}
