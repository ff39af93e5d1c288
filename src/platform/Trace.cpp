#include "platform/Trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace trace {
namespace {

class TraceChannel {
 public:
  TraceChannel() {
    const char* where = std::getenv("TARVISEL_TRACE");
    if (!where || !*where || std::strcmp(where, "0") == 0) return;
    if (std::strcmp(where, "1") == 0 || std::strcmp(where, "stderr") == 0) {
      m_out = stderr;
    } else {
      m_out = std::fopen(where, "a");
      m_ownsFile = m_out != nullptr;
    }
  }
  ~TraceChannel() {
    if (m_ownsFile) std::fclose(m_out);
  }
  TraceChannel(const TraceChannel&) = delete;
  TraceChannel& operator=(const TraceChannel&) = delete;

  void Write(std::string_view text) {
    std::lock_guard lock(m_mutex);
    if (m_sink) {
      m_sink(text);
      return;
    }
    if (!m_out) return;
    std::fwrite(text.data(), 1, text.size(), m_out);
    std::fflush(m_out);
  }
  void SetSink(Sink sink) {
    std::lock_guard lock(m_mutex);
    m_sink = std::move(sink);
  }

 private:
  std::mutex m_mutex;
  std::FILE* m_out = nullptr;
  bool m_ownsFile = false;
  Sink m_sink;
};

TraceChannel& Channel() {
  static TraceChannel channel;
  return channel;
}

}  // namespace

void Write(std::string_view text) { Channel().Write(text); }

void Printf(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  Write(std::string_view(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1)));
}

void SetSink(Sink sink) { Channel().SetSink(std::move(sink)); }

}  // namespace trace
