#include "platform/TimerTable.h"

#include <algorithm>

void CTimerTable::Set(uint32_t id, uint32_t periodMs, uint64_t nowMs) {
  const uint32_t period = std::max(periodMs, kMinTimerPeriodMs);
  m_timers[id] = Entry{period, nowMs + period, m_nextOrder++};
}

bool CTimerTable::Kill(uint32_t id) { return m_timers.erase(id) != 0; }

std::optional<TimerInfo> CTimerTable::Earliest() const {
  const auto best = std::min_element(m_timers.begin(), m_timers.end(), [](const auto& a, const auto& b) {
    if (a.second.dueMs != b.second.dueMs) return a.second.dueMs < b.second.dueMs;
    return a.second.order < b.second.order;
  });
  if (best == m_timers.end()) return std::nullopt;
  return TimerInfo{best->first, best->second.periodMs, best->second.dueMs};
}

bool CTimerTable::Expire(uint32_t id, uint64_t nowMs) {
  const auto it = m_timers.find(id);
  if (it == m_timers.end()) return false;
  Entry& e = it->second;
  if (nowMs < e.dueMs) nowMs = e.dueMs;
  // Expiries missed while the thread was busy merge into this one.
  const uint64_t missed = (nowMs - e.dueMs) / e.periodMs;
  e.dueMs += (missed + 1) * e.periodMs;
  e.order = m_nextOrder++;
  return true;
}

std::vector<TimerInfo> CTimerTable::Armed() const {
  std::vector<TimerInfo> out;
  out.reserve(m_timers.size());
  for (const auto& [id, e] : m_timers) out.push_back(TimerInfo{id, e.periodMs, e.dueMs});
  return out;
}
