#pragma once
// An event that releases one waiter and resets itself, as the receive thread's start gate needs.
#include <condition_variable>
#include <mutex>

class CAutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard lock(m_mutex);
      m_signalled = true;
    }
    m_cv.notify_one();
  }
  void Wait() {
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_signalled; });
    m_signalled = false;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_signalled = false;
};
