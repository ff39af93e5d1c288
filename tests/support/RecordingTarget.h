#pragma once
// A message target that records what is posted, from any thread.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/WindowMessage.h"

class CRecordingTarget : public CMessageTarget {
 public:
  using CMessageTarget::PostMessage;
  void PostMessage(const WindowMessage& msg) override {
    {
      std::lock_guard lock(m_mutex);
      m_messages.push_back(msg);
    }
    m_cv.notify_all();
  }
  std::vector<WindowMessage> Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
  }
  std::vector<WindowMessage> Take() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_messages, {});
  }
  size_t Count(uint32_t message) const {
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (const auto& m : m_messages) n += m.message == message;
    return n;
  }
  // Waits until `n` messages of the kind were posted; false after the timeout.
  bool WaitFor(uint32_t message, size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] {
      size_t c = 0;
      for (const auto& m : m_messages) c += m.message == message;
      return c >= n;
    });
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<WindowMessage> m_messages;
};
