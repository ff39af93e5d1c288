#pragma once
// The window's queue of posted messages: any thread posts, the window's thread takes them in
// order. A wake request lets another thread end a wait without posting a message.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/WindowMessage.h"

class CPostQueue {
 public:
  using Clock = std::chrono::steady_clock;

  void Post(const WindowMessage& msg);
  std::optional<WindowMessage> TryPop();
  bool Empty() const;
  size_t Size() const;

  // Thread-safe; stays set until TakeWake.
  void Wake();
  bool TakeWake();

  // Block until a message waits, a wake is set, or the deadline passes (none: no deadline).
  void WaitUntil(std::optional<Clock::time_point> deadline);

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<WindowMessage> m_messages;
  bool m_wake = false;
};
