#pragma once
// Collects the diagnostic trace while in scope.
#include <mutex>
#include <string>

#include "platform/Trace.h"

class CTraceCapture {
 public:
  CTraceCapture() {
    trace::SetSink([this](std::string_view text) {
      std::lock_guard lock(m_mutex);
      m_text.append(text);
    });
  }
  ~CTraceCapture() { trace::SetSink({}); }
  CTraceCapture(const CTraceCapture&) = delete;
  CTraceCapture& operator=(const CTraceCapture&) = delete;
  std::string Text() const {
    std::lock_guard lock(m_mutex);
    return m_text;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_text;
};
