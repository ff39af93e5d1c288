#include "ConsoleView.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/Translate.h"

namespace {
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kRed = "\x1b[31m";
constexpr int kBarWidth = 30;

}  // namespace

std::string LogTimeStamp() {
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

namespace {

std::string MinSec(uint64_t secs) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(secs / 60),
                static_cast<unsigned long long>(secs % 60));
  return text;
}
}  // namespace

std::string FormatBoxText(const std::string& text) {
  std::string out = Tr("message: ");
  size_t from = 0;
  // Boxes end some texts with a line break that carries nothing.
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  while (true) {
    const size_t nl = body.find('\n', from);
    out += body.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
    if (nl == std::string::npos) break;
    out += "\n         ";
    from = nl + 1;
  }
  return out;
}

CConsoleView::CConsoleView(std::ostream& out, ConsoleStyle style, std::function<uint64_t()> clockMs)
    : m_out(out), m_style(style), m_clockMs(std::move(clockMs)) {}

bool CConsoleView::OpenLogFile(const std::string& path) {
  m_file.open(path, std::ios::out | std::ios::app);
  return m_file.is_open();
}

void CConsoleView::LogLine(LogTone tone, const std::string& text) {
  ToFile(tone == LogTone::Error ? "error" : tone == LogTone::Info ? "info" : "step", text, text);
  const bool error = tone == LogTone::Error;
  if (m_style.quiet && !error) return;
  ClearProgressLine();
  Print(text, error ? kRed : tone == LogTone::Info ? kBlue : nullptr);
  if (m_style.terminal && !m_lastProgress.empty() && m_progress.block < m_progress.blocks) {
    m_out << m_lastProgress << std::flush;
    m_lineInPlace = true;
  }
}

void CConsoleView::Progress(const BlockProgress& p) {
  m_clock.Note(p, m_clockMs());
  if (p.block == 0) {  // programming starts, or starts again after a new erase
    m_lastDecile = 0;
    m_lastProgress.clear();
  }
  m_progress = p;
  if (p.block == 0 || p.blocks <= 0 || m_style.quiet) return;
  const int percent = static_cast<int>(static_cast<long long>(p.block) * 100 / p.blocks);
  if (m_style.terminal) {
    const int filled = static_cast<int>(static_cast<long long>(p.block) * kBarWidth / p.blocks);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    m_lastProgress = "\r\x1b[K[" + bar + "] " + std::to_string(percent) + "% " + ProgressDetails(p);
    m_out << m_lastProgress << std::flush;
    m_lineInPlace = true;
    return;
  }
  const int decile = percent / 10;
  if (decile <= m_lastDecile) return;
  m_lastDecile = decile;
  m_out << TrFormat("programming %d%% (%s)", decile * 10, ProgressDetails(p).c_str()) << "\n" << std::flush;
}

void CConsoleView::Programmed(uint64_t elapsedMs) {
  const uint64_t s = elapsedMs / 1000;
  char text[64];
  std::snprintf(text, sizeof text, Tr("Elapsed time : %d min %d sec"), static_cast<int>(s / 60),
                static_cast<int>(s % 60));
  ClearProgressLine();
  if (!m_style.quiet) Print(text, nullptr);
  ToFile("step", text, text);
}

void CConsoleView::Message(const std::string& boxText, const std::string& answer, bool error) {
  const std::string shown = FormatBoxText(boxText) + answer;
  ClearProgressLine();
  Print(shown, error ? kRed : nullptr);
  std::string plain = boxText;
  while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\r')) plain.pop_back();
  ToFile(error ? "alert" : "message", plain + answer, shown);
}

void CConsoleView::Note(const std::string& text, bool error) {
  ClearProgressLine();
  Print(text, error ? kRed : nullptr);
  ToFile(error ? "warning" : "note", text, text);
}

void CConsoleView::Result(const std::string& text, bool error) {
  ClearProgressLine();
  Print(text, error ? kRed : nullptr);
  ToFile("result", text, text);
}

void CConsoleView::Print(const std::string& text, const char* colour) {
  if (m_style.terminal && m_style.colour && colour) m_out << colour << text << "\x1b[0m\n";
  else m_out << text << '\n';
  m_out.flush();
}

void CConsoleView::ToFile(const char* kind, const std::string& text, const std::string& fileText) {
  if (m_file.is_open()) m_file << LogTimeStamp() << ' ' << fileText << '\n' << std::flush;
  if (m_sink) m_sink(kind, text);
}

void CConsoleView::ClearProgressLine() {
  if (!m_lineInPlace) return;
  // A finished bar stays on the screen; one in the middle makes room for the line.
  const bool finished = m_progress.blocks > 0 && m_progress.block >= m_progress.blocks;
  m_out << (finished ? "\n" : "\r\x1b[K") << std::flush;
  m_lineInPlace = false;
}

std::string CConsoleView::ProgressDetails(const BlockProgress& p) const {
  return FormatProgressDetails(p, m_clock.Rate(p, m_clockMs()));
}

std::string FormatProgressDetails(const BlockProgress& p, const ProgressRate& rate) {
  const std::string left = rate.etaS ? MinSec(static_cast<uint64_t>(*rate.etaS + 0.5)) : "--:--";
  char text[160];
  std::snprintf(text, sizeof text, Tr("0x%lx, %.1f KiB/s, %s left"), static_cast<unsigned long>(p.address),
                rate.bytesPerS / 1024.0, left.c_str());
  return text;
}
