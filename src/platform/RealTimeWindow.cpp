#include "platform/RealTimeWindow.h"

#include <algorithm>
#include <thread>

#include "DlgFont.h"
#include "platform/MessageBoxAnswer.h"

CRealTimeWindow::CRealTimeWindow() : m_start(std::chrono::steady_clock::now()) {}

void CRealTimeWindow::PostMessage(const WindowMessage& msg) { m_queue.Post(msg); }

void CRealTimeWindow::SetHandler(std::function<void(const WindowMessage&)> handler) {
  m_handler = std::move(handler);
}

void CRealTimeWindow::SetTimer(uint32_t id, uint32_t periodMs) { m_timers.Set(id, periodMs, ClockMs()); }

void CRealTimeWindow::KillTimer(uint32_t id) { m_timers.Kill(id); }

void CRealTimeWindow::Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t CRealTimeWindow::ClockMs() {
  const auto elapsed = std::chrono::steady_clock::now() - m_start;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

int CRealTimeWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
  int answer = m_onMessageBox ? m_onMessageBox(text, caption, type) : SafeAnswer(type);
  if (!IsPossibleAnswer(type, answer)) answer = SafeAnswer(type);
  m_messageBoxes.push_back(ShownMessageBox{text, caption, type, answer});
  return answer;
}

std::optional<std::string> CRealTimeWindow::FileOpenDialog(const FileOpenRequest& request) {
  if (!m_onFileDialog) return std::nullopt;
  return m_onFileDialog(request);
}

int CRealTimeWindow::RunFontDialog(CDlgFont& dialog) {
  if (!m_onFontDialog) return IDCANCEL;
  return m_onFontDialog(dialog) == IDOK ? IDOK : IDCANCEL;
}

void CRealTimeWindow::BeginWaitCursor() { ++m_waitCursorDepth; }
void CRealTimeWindow::EndWaitCursor() { m_waitCursorDepth = std::max(0, m_waitCursorDepth - 1); }
void CRealTimeWindow::SetCapture() { m_captured = true; }
void CRealTimeWindow::ReleaseCapture() { m_captured = false; }

void CRealTimeWindow::Quit() { m_queue.Wake(); }

// One posted message, else one due timer. False when nothing was ready.
bool CRealTimeWindow::DispatchOne() {
  std::optional<WindowMessage> msg = m_queue.TryPop();
  if (!msg) {
    const auto next = m_timers.Earliest();
    const uint64_t now = ClockMs();
    if (!next || next->dueMs > now) return false;
    m_timers.Expire(next->id, now);
    msg.emplace();
    msg->message = WM_TIMER;
    msg->wParam = next->id;
  }
  if (m_handler) m_handler(*msg);
  return true;
}

// Sleeps until a message is posted, Quit is called or the next timer comes due.
void CRealTimeWindow::WaitForWork() {
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (const auto next = m_timers.Earliest()) deadline = m_start + std::chrono::milliseconds(next->dueMs);
  m_queue.WaitUntil(deadline);
}

bool CRealTimeWindow::Run(const std::function<bool()>& done) {
  if (m_running) return false;
  m_running = true;
  std::optional<bool> finished;
  while (!finished) {
    if (m_queue.TakeWake()) finished = false;
    else if (done && done()) finished = true;
    else if (!DispatchOne()) WaitForWork();
  }
  m_running = false;
  return *finished;
}
