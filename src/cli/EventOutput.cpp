#include "EventOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "JsonEvents.h"

using json = nlohmann::ordered_json;

namespace {
// Past this many times the bound, log events are left out too.
constexpr size_t kLogBoundTimes = 4;
}  // namespace

CEventOutput::CEventOutput(int fd, std::ostream& stream, std::function<double()> clock, size_t bound)
    : m_fd(fd), m_stream(stream), m_clock(std::move(clock)), m_bound(bound) {
  if (m_fd < 0) return;
  struct stat st {};
  // A file takes what is written at once, and a new open of it would write from its start.
  if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) return;
  // A pipe or a terminal of its own, opened anew: O_NONBLOCK on the descriptor as inherited
  // would be the shell's too, and standard error's where both are one terminal.
  const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
  m_own.Reset(::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (m_own.Valid()) {
    m_fd = m_own.Get();
    return;
  }
  m_oldFlags = ::fcntl(m_fd, F_GETFL);
  if (m_oldFlags >= 0 && !(m_oldFlags & O_NONBLOCK)) ::fcntl(m_fd, F_SETFL, m_oldFlags | O_NONBLOCK);
}

CEventOutput::~CEventOutput() {
  if (m_fd >= 0 && m_oldFlags >= 0 && !(m_oldFlags & O_NONBLOCK)) ::fcntl(m_fd, F_SETFL, m_oldFlags);
}

int CEventOutput::WaitingFd() const { return m_queue.empty() || m_broken ? -1 : m_fd; }

void CEventOutput::Dropped(const std::string& device, Kind kind) {
  auto it = std::find_if(m_drops.begin(), m_drops.end(), [&](const Drops& d) { return d.device == device; });
  if (it == m_drops.end()) it = m_drops.insert(m_drops.end(), Drops{device});
  ++(kind == Kind::Progress ? it->progress : it->log);
}

// Room for a line of size of this kind: false when it is the one to leave out.
bool CEventOutput::MakeRoom(size_t size, Kind kind) {
  if (m_bytes + size <= m_bound) return true;
  if (kind == Kind::Progress) return false;
  if (kind == Kind::Log && m_bytes + size > m_bound * kLogBoundTimes) return false;
  // Waiting progress events give way, oldest first; not the line being written.
  for (size_t i = m_offset ? 1 : 0; i < m_queue.size() && m_bytes + size > m_bound;) {
    if (m_queue[i].kind != Kind::Progress || m_queue[i].pinned) {
      ++i;
      continue;
    }
    m_bytes -= m_queue[i].text.size();
    Dropped(m_queue[i].device, Kind::Progress);
    m_queue.erase(m_queue.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return true;
}

void CEventOutput::Emit(const json& object) {
  if (m_broken) return;
  std::string text = object.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
  if (m_fd < 0) {
    if (!(m_stream << text << std::flush)) m_broken = true;
    return;
  }
  const std::string event = object.value("event", "");
  const Kind kind = event == "progress" ? Kind::Progress : event == "log" ? Kind::Log : Kind::Kept;
  const std::string device = object.value("device", "");
  if (!MakeRoom(text.size(), kind)) {
    Dropped(device, kind);
    return;
  }
  if (event == "finished") {
    // Its last event stays last: what it missed is said before, and what waits is kept.
    NoticeDrops(&device);
    for (auto& line : m_queue)
      if (line.device == device) line.pinned = true;
  }
  Queue(std::move(text), device, kind);
  // A reader that keeps up gets each line at once.
  Write();
}

void CEventOutput::Queue(std::string text, const std::string& device, Kind kind) {
  m_bytes += text.size();
  m_queue.push_back({std::move(text), device, kind});
}

// The "dropped" events of every device, or of one.
void CEventOutput::NoticeDrops(const std::string* device) {
  const double t = m_clock ? m_clock() : 0.0;
  for (auto it = m_drops.begin(); it != m_drops.end();) {
    if (device && it->device != *device) {
      ++it;
      continue;
    }
    const json body = {{"progress", it->progress}, {"log", it->log}};
    Queue(EventObject(t, it->device, "dropped", body).dump(-1, ' ', false, json::error_handler_t::replace) + '\n',
          it->device, Kind::Kept);
    it = m_drops.erase(it);
  }
}

void CEventOutput::Write() {
  while (!m_broken && m_fd >= 0) {
    if (m_queue.empty()) {
      // The reader has caught up: it learns what it missed.
      if (m_drops.empty()) return;
      NoticeDrops();
    }
    const std::string& text = m_queue.front().text;
    const ssize_t n = ::write(m_fd, text.data() + m_offset, text.size() - m_offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // A reader that went away: the downloads go on without it.
      m_broken = true;
      m_queue.clear();
      m_bytes = 0;
      return;
    }
    m_offset += static_cast<size_t>(n);
    if (m_offset < text.size()) continue;
    m_bytes -= text.size();
    m_offset = 0;
    m_queue.pop_front();
  }
}

void CEventOutput::Finish(int signalFd, const std::function<bool()>& stop) {
  Write();
  while (WaitingFd() >= 0) {
    pollfd fds[2] = {{m_fd, POLLOUT, 0}, {signalFd, POLLIN, 0}};
    const nfds_t n = signalFd >= 0 ? 2 : 1;
    if (::poll(fds, n, -1) < 0 && errno != EINTR) return;
    if (n == 2 && (fds[1].revents & POLLIN) && stop()) return;
    Write();
  }
}
