#include "WatchView.h"

#include <algorithm>

#include "ExitStatus.h"
#include "TextColumns.h"

namespace {
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kReset = "\x1b[0m";
}  // namespace

std::string CountsText(const WatchCounts& c) {
  return "completed " + std::to_string(c.completed) + ", failed " + std::to_string(c.failed) + ", in progress " +
         std::to_string(c.inProgress);
}

CWatchView::CWatchView(std::ostream& out, ConsoleStyle style, size_t columns)
    : m_style(style), m_lines(out, style, 0, columns) {}

void CWatchView::PortLine(const std::string& link, const std::string& text, bool error) {
  // A terminal's block shows where each port is; only what went wrong goes above it.
  if (m_style.terminal && !error) return;
  m_lines.Note(TerminalText(link) + ": " + text, error);
}

void CWatchView::Counts(const WatchCounts& counts) {
  if (!m_style.terminal) m_lines.Note("watch: " + CountsText(counts));
}

std::string CWatchView::PortText(const PortShown& port, size_t labelWidth) const {
  HandsetStatus shown;
  if (port.download) {
    shown = *port.download;
  } else {
    shown.device = port.link;
    shown.phase = port.state;  // shown where a phase would be
  }
  std::string text = m_lines.StatusLine(shown, labelWidth);
  if (port.download && !port.state.empty()) {
    while (!text.empty() && text.back() == ' ') text.pop_back();  // the handset's version ends in spaces
    text += "; " + port.state;
  }
  return CutText(text, m_lines.Columns() - 1);
}

void CWatchView::Draw(const std::vector<PortShown>& ports, const WatchCounts& counts, const std::string& note) {
  if (!m_style.terminal || !m_lines.NeedsDraw()) return;
  size_t label = 0;
  for (const auto& p : ports) label = std::max(label, TextWidth(TerminalText(p.link)));
  label = std::min(label, size_t{28});
  std::vector<std::string> lines;
  for (const auto& p : ports) {
    std::string text = PortText(p, label);
    const HandsetStatus* d = p.download;
    if (d && d->Finished() && !p.retrying && m_style.colour) text = (d->exit == kExitOk ? kGreen : kRed) + text + kReset;
    lines.push_back(std::move(text));
  }
  lines.push_back(CutText(CountsText(counts) + (note.empty() ? "" : "; " + note), m_lines.Columns() - 1));
  m_lines.DrawLines(std::move(lines));
}
