#include "ConsoleView.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "ControlIds.h"
#include "TarviselDlg.h"

namespace {
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kRed = "\x1b[31m";
constexpr uint32_t kBlockBytes = 4096;
constexpr int kBarWidth = 30;

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

std::string MinSec(uint64_t secs) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(secs / 60),
                static_cast<unsigned long long>(secs % 60));
  return text;
}
}  // namespace

CConsoleView::CConsoleView(std::ostream& out, ConsoleStyle style, std::function<uint64_t()> clockMs)
    : m_out(out), m_style(style), m_clockMs(std::move(clockMs)) {}

bool CConsoleView::OpenLogFile(const std::string& path) {
  m_file.open(path, std::ios::out | std::ios::app);
  return m_file.is_open();
}

void CConsoleView::OnControl(const ControlEvent& event) {
  if (event.id == IDC_LOG && event.change == ControlChange::RichTextAppend) {
    // The window starts every entry on a new line.
    std::string text = event.text;
    if (!text.empty() && text.front() == '\n') text.erase(0, 1);
    LogLine(text, event.colorBgr);
  } else if (event.id == IDC_PROGRESS && event.change == ControlChange::ProgressRange) {
    m_total = event.upper - event.value;
    m_pos = 0;
    m_lastDecile = 0;
    m_startMs = m_clockMs();
  } else if (event.id == IDC_PROGRESS && event.change == ControlChange::ProgressPos) {
    m_pos = event.value;
    if (m_pos == 0) {  // programming starts again after a new erase
      m_lastDecile = 0;
      m_startMs = m_clockMs();
    }
  } else if (event.id == IDC_STATUS && event.change == ControlChange::Text) {
    if (event.text.rfind("Addr = ", 0) == 0) {
      ShowProgress(event.text.substr(7));
    } else if (!event.text.empty()) {
      ClearProgressLine();
      if (!m_style.quiet) Print(event.text, nullptr);
      ToFile(event.text);
    }
  }
}

void CConsoleView::LogLine(const std::string& text, uint32_t colorBgr) {
  if (m_onLogLine) m_onLogLine(text);
  ToFile(text);
  const bool error = colorBgr == kColorRed;
  if (m_style.quiet && !error) return;
  ClearProgressLine();
  Print(text, colorBgr == kColorRed ? kRed : colorBgr == kColorBlue ? kBlue : nullptr);
  if (m_style.terminal && !m_lastProgress.empty() && m_pos < m_total) {
    m_out << m_lastProgress << std::flush;
    m_lineInPlace = true;
  }
}

void CConsoleView::Note(const std::string& text, bool error) {
  ClearProgressLine();
  Print(text, error ? kRed : nullptr);
  ToFile(text);
}

void CConsoleView::Print(const std::string& text, const char* colour) {
  if (m_style.terminal && colour) m_out << colour << text << "\x1b[0m\n";
  else m_out << text << '\n';
  m_out.flush();
}

void CConsoleView::ToFile(const std::string& text) {
  if (m_file.is_open()) m_file << TimeStamp() << ' ' << text << '\n' << std::flush;
}

void CConsoleView::ClearProgressLine() {
  if (!m_lineInPlace) return;
  // A finished bar stays on the screen; one in the middle makes room for the line.
  m_out << (m_total > 0 && m_pos >= m_total ? "\n" : "\r\x1b[K") << std::flush;
  m_lineInPlace = false;
}

std::string CConsoleView::ProgressDetails(int pos, const std::string& address) const {
  const uint64_t elapsed = m_clockMs() - m_startMs;
  char text[160];
  const double bytes = static_cast<double>(pos) * kBlockBytes;
  const double rate = elapsed > 0 ? bytes * 1000.0 / static_cast<double>(elapsed) : 0.0;
  std::string left = "--:--";
  if (rate > 0 && m_total >= pos) {
    const double rest = static_cast<double>(m_total - pos) * kBlockBytes / rate;
    left = MinSec(static_cast<uint64_t>(rest + 0.5));
  }
  std::snprintf(text, sizeof text, "%s, %.1f KiB/s, %s left", address.c_str(), rate / 1024.0, left.c_str());
  return text;
}

void CConsoleView::ShowProgress(const std::string& address) {
  if (m_total <= 0 || m_style.quiet) return;
  const int pos = m_pos;
  const int percent = static_cast<int>(static_cast<long long>(pos) * 100 / m_total);
  if (m_style.terminal) {
    const int filled = static_cast<int>(static_cast<long long>(pos) * kBarWidth / m_total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    m_lastProgress = "\r\x1b[K[" + bar + "] " + std::to_string(percent) + "% " + ProgressDetails(pos, address);
    m_out << m_lastProgress << std::flush;
    m_lineInPlace = true;
    return;
  }
  const int decile = percent / 10;
  if (decile <= m_lastDecile) return;
  m_lastDecile = decile;
  m_out << "programming " << decile * 10 << "% (" << ProgressDetails(pos, address) << ")\n" << std::flush;
}
