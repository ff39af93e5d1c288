#include "support/VirtualWindow.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <thread>

namespace {

using RealClock = std::chrono::steady_clock;
// How often a wait for busy work looks again when no message wakes it.
constexpr auto kSettlePoll = std::chrono::milliseconds(1);

}  // namespace

// Marks a Run call; a second one from inside the handler is refused rather than nested.
class CVirtualWindow::RunScope {
 public:
  explicit RunScope(CVirtualWindow& w) : m_w(w), m_entered(!w.m_running) {
    if (!m_entered) {
      m_w.Fail("a Run function was called from inside the handler");
      return;
    }
    m_w.m_running = true;
    m_w.m_dispatchesThisRun = 0;
  }
  ~RunScope() {
    if (m_entered) m_w.m_running = false;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
  explicit operator bool() const { return m_entered; }

 private:
  CVirtualWindow& m_w;
  bool m_entered;
};

CVirtualWindow::CVirtualWindow() {
  m_controls.AddObserver([this](const ControlEvent& e) {
    if (!m_recording) return;
    Record(JournalKind::Control, DescribeControlEvent(e));
    m_controlChanges.push_back(ControlRecord{Now(), e});
  });
}

void CVirtualWindow::PostMessage(const WindowMessage& msg) { m_queue.Post(msg); }

void CVirtualWindow::SetHandler(std::function<void(const WindowMessage&)> handler) {
  m_handler = std::move(handler);
}

void CVirtualWindow::SetTimer(uint32_t id, uint32_t periodMs) {
  m_timers.Set(id, periodMs, Now());
  if (!m_recording) return;
  m_timerCalls.push_back(TimerCallRecord{Now(), id, periodMs, false});
  Record(JournalKind::SetTimer, "id=" + std::to_string(id) + " period=" + std::to_string(periodMs));
}

void CVirtualWindow::KillTimer(uint32_t id) {
  const bool armed = m_timers.Kill(id);
  if (!m_recording) return;
  m_timerCalls.push_back(TimerCallRecord{Now(), id, 0, true});
  Record(JournalKind::KillTimer, "id=" + std::to_string(id) + (armed ? "" : " (not armed)"));
}

void CVirtualWindow::Pause(uint32_t ms) {
  if (m_recording) {
    m_pauses.push_back(PauseRecord{Now(), ms});
    Record(JournalKind::Pause, std::to_string(ms) + " ms");
  }
  if (m_pauseHook) m_pauseHook(ms);
  // Work in flight would finish during a real pause; let it, without dispatching anything.
  Settle(false);
  m_now += ms;
}

void CVirtualWindow::BeginWaitCursor() {
  ++m_waitCursorDepth;
  Record(JournalKind::WaitCursor, "begin depth=" + std::to_string(m_waitCursorDepth));
}

void CVirtualWindow::EndWaitCursor() {
  // As on the platform, an end without a begin leaves the count at zero.
  m_waitCursorDepth = std::max(0, m_waitCursorDepth - 1);
  Record(JournalKind::WaitCursor, "end depth=" + std::to_string(m_waitCursorDepth));
}

void CVirtualWindow::SetCapture() {
  m_captured = true;
  Record(JournalKind::Capture, "set");
}

void CVirtualWindow::ReleaseCapture() {
  Record(JournalKind::Capture, m_captured ? "release" : "release (not captured)");
  m_captured = false;
}

void CVirtualWindow::AddBusyProbe(std::function<bool()> busy) {
  if (busy) m_probes.push_back(std::move(busy));
}

bool CVirtualWindow::AnyBusy() const {
  return std::any_of(m_probes.begin(), m_probes.end(), [](const auto& busy) { return busy(); });
}

// Waits in real time while a probe reports work in flight. endOnMessage: a queued message
// ends the wait too (the caller will dispatch it). False when the bound passed first.
bool CVirtualWindow::Settle(bool endOnMessage) {
  if (m_probes.empty()) return true;
  const auto deadline = RealClock::now() + m_busyTimeout;
  for (;;) {
    if (endOnMessage && !m_queue.Empty()) return true;
    if (!AnyBusy()) return true;
    const auto now = RealClock::now();
    if (now >= deadline) {
      Fail("work in flight did not settle within " + std::to_string(m_busyTimeout.count()) +
           " ms of real time");
      return false;
    }
    const auto next = std::min(now + kSettlePoll, deadline);
    if (endOnMessage) m_queue.WaitUntil(next);
    else std::this_thread::sleep_until(next);
  }
}

void CVirtualWindow::Dispatch(const WindowMessage& msg) {
  ++m_dispatchesThisRun;
  if (m_recording) {
    m_dispatched.push_back(DispatchRecord{Now(), msg.message, msg.wParam, msg.lParam});
    Record(JournalKind::Message, MessageName(msg.message) + " wParam=" + std::to_string(msg.wParam) +
                                     " lParam=" + std::to_string(msg.lParam));
  }
  if (m_handler) m_handler(msg);
}

CVirtualWindow::Step CVirtualWindow::RunStep(uint64_t limitMs) {
  for (;;) {
    if (m_dispatchesThisRun >= m_dispatchLimit) {
      Fail("more than " + std::to_string(m_dispatchLimit) + " dispatches in one run");
      return Step::Stalled;
    }
    if (auto msg = m_queue.TryPop()) {
      Dispatch(*msg);
      return Step::Dispatched;
    }
    if (!Settle(true)) return Step::Stalled;
    if (!m_queue.Empty()) continue;
    const auto next = m_timers.Earliest();
    if (!next || next->dueMs > limitMs) return Step::Idle;
    if (next->dueMs > Now()) m_now = next->dueMs;
    m_timers.Expire(next->id, Now());
    WindowMessage msg;
    msg.message = WM_TIMER;
    msg.wParam = next->id;
    Dispatch(msg);
    return Step::Dispatched;
  }
}

uint64_t CVirtualWindow::LimitFrom(uint64_t spanMs) const {
  const uint64_t now = Now();
  return spanMs > std::numeric_limits<uint64_t>::max() - now ? std::numeric_limits<uint64_t>::max()
                                                              : now + spanMs;
}

bool CVirtualWindow::RunUntilIdle(uint64_t maxVirtualMs) {
  RunScope scope(*this);
  if (!scope) return false;
  const uint64_t limit = LimitFrom(maxVirtualMs);
  for (;;) {
    switch (RunStep(limit)) {
      case Step::Dispatched: continue;
      case Step::Stalled: return false;
      case Step::Idle: return m_queue.Empty() && m_timers.Empty();
    }
  }
}

bool CVirtualWindow::RunFor(uint64_t virtualMs) {
  RunScope scope(*this);
  if (!scope) return false;
  const uint64_t limit = LimitFrom(virtualMs);
  for (;;) {
    switch (RunStep(limit)) {
      case Step::Dispatched: continue;
      case Step::Stalled: return false;
      case Step::Idle:
        if (Now() < limit) m_now = limit;
        return true;
    }
  }
}

bool CVirtualWindow::RunUntil(const std::function<bool()>& predicate, uint64_t maxVirtualMs) {
  RunScope scope(*this);
  if (!scope || !predicate) return false;
  const uint64_t limit = LimitFrom(maxVirtualMs);
  for (;;) {
    if (predicate()) return true;
    switch (RunStep(limit)) {
      case Step::Dispatched: continue;
      case Step::Stalled: return predicate();
      case Step::Idle:
        if (Now() < limit) m_now = limit;
        return predicate();
    }
  }
}

void CVirtualWindow::Record(JournalKind kind, std::string detail) {
  m_journal.push_back(JournalEntry{Now(), kind, std::move(detail)});
}

void CVirtualWindow::Fail(std::string what) {
  Record(JournalKind::Failure, what);
  m_failures.push_back("at " + std::to_string(Now()) + " ms: " + std::move(what));
}

std::vector<JournalEntry> CVirtualWindow::JournalOf(JournalKind kind) const {
  std::vector<JournalEntry> out;
  std::copy_if(m_journal.begin(), m_journal.end(), std::back_inserter(out),
               [kind](const JournalEntry& e) { return e.kind == kind; });
  return out;
}

std::string CVirtualWindow::JournalText() const {
  std::string out;
  for (const auto& e : m_journal) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%10llu ", static_cast<unsigned long long>(e.timeMs));
    out += stamp;
    out += JournalKindName(e.kind);
    out += ' ';
    out += e.detail;
    out += '\n';
  }
  return out;
}
