#include "platform/PostQueue.h"

void CPostQueue::Post(const WindowMessage& msg) {
  {
    std::lock_guard lock(m_mutex);
    m_messages.push_back(msg);
  }
  m_cv.notify_all();
}

std::optional<WindowMessage> CPostQueue::TryPop() {
  std::lock_guard lock(m_mutex);
  if (m_messages.empty()) return std::nullopt;
  WindowMessage msg = m_messages.front();
  m_messages.pop_front();
  return msg;
}

bool CPostQueue::Empty() const {
  std::lock_guard lock(m_mutex);
  return m_messages.empty();
}

size_t CPostQueue::Size() const {
  std::lock_guard lock(m_mutex);
  return m_messages.size();
}

void CPostQueue::Wake() {
  {
    std::lock_guard lock(m_mutex);
    m_wake = true;
  }
  m_cv.notify_all();
}

bool CPostQueue::TakeWake() {
  std::lock_guard lock(m_mutex);
  const bool was = m_wake;
  m_wake = false;
  return was;
}

void CPostQueue::WaitUntil(std::optional<Clock::time_point> deadline) {
  std::unique_lock lock(m_mutex);
  const auto ready = [this] { return m_wake || !m_messages.empty(); };
  if (deadline) m_cv.wait_until(lock, *deadline, ready);
  else m_cv.wait(lock, ready);
}
