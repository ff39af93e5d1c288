#include "StationView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "ExitStatus.h"
#include "TextColumns.h"

using json = nlohmann::ordered_json;

namespace {

constexpr const char* kRed = "\x1b[31m";
constexpr int kBarWidth = 20;
constexpr size_t kMaxLabel = 28;

template <typename T>
std::optional<T> Field(const json& e, const char* name) {
  const auto it = e.find(name);
  if (it == e.end() || it->is_null()) return std::nullopt;
  try {
    return it->get<T>();
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::string ResultText(const HandsetStatus& s) {
  std::string text = s.outcome.value_or("running");
  if (s.outcome && s.exit != kExitOk) text += " (exit " + std::to_string(s.exit) + ")";
  return text;
}

}  // namespace

std::string MinutesSeconds(double seconds) {
  const long total = seconds > 0 ? std::lround(seconds) : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

bool ApplyEvent(HandsetStatus& s, const json& e) {
  if (!e.is_object() || s.Finished()) return false;
  const auto event = Field<std::string>(e, "event");
  if (!event) return false;
  if (*event == "started") {
    s.started = true;
  } else if (*event == "phase") {
    const auto name = Field<std::string>(e, "name");
    if (!name) return false;
    s.phase = *name;
  } else if (*event == "progress") {
    BlockProgress p;
    const auto block = Field<int>(e, "block"), blocks = Field<int>(e, "blocks");
    if (!block || !blocks) return false;
    p.block = *block;
    p.blocks = *blocks;
    p.address = Field<uint32_t>(e, "address").value_or(0);
    p.bytes = Field<uint64_t>(e, "bytes").value_or(0);
    s.progress = p;
    s.rate.bytesPerS = Field<double>(e, "bytes_per_s").value_or(0);
    s.rate.etaS = Field<double>(e, "eta_s");
  } else if (*event == "phone") {
    s.sw = Field<std::string>(e, "sw").value_or("");
  } else if (*event == "finished") {
    const auto outcome = Field<std::string>(e, "outcome");
    const auto exit = Field<int>(e, "exit");
    if (!outcome || !exit) return false;
    s.outcome = *outcome;
    s.exit = *exit;
    s.elapsedS = Field<double>(e, "elapsed_s").value_or(0);
  } else if (*event != "log") {
    return false;
  }
  return true;
}

int StationExitStatus(const std::vector<HandsetStatus>& handsets) {
  for (const auto& h : handsets) {
    if (!h.Finished()) return kExitNoReply;  // no result is no success
    if (h.exit != kExitOk) return h.exit;
  }
  return kExitOk;
}

CStationView::CStationView(std::ostream& out, ConsoleStyle style, size_t handsets, size_t columns)
    : m_out(out), m_style(style), m_columns(columns < 20 ? 20 : columns), m_decile(handsets, 0) {}

std::string CStationView::Label(const std::string& device, size_t width) const {
  if (TextWidth(device) <= width) return PadText(device, width);
  // The end of a name tells adapters apart (the serial number, the port).
  std::string tail = device;
  while (TextWidth(tail) > width - 1) {
    size_t i = 1;
    while (i < tail.size() && (tail[i] & 0xC0) == 0x80) ++i;
    tail.erase(0, i);
  }
  return "…" + tail;
}

std::string CStationView::StatusLine(const HandsetStatus& s, size_t labelWidth) const {
  std::string line = Label(TerminalText(s.device), labelWidth) + "  ";
  if (s.Finished()) {
    line += ResultText(s) + " after " + MinutesSeconds(s.elapsedS);
    if (!s.sw.empty()) line += "  " + TerminalText(s.sw);
  } else if (s.phase == "programming" && s.progress && s.progress->blocks > 0) {
    const BlockProgress& p = *s.progress;
    const int percent = static_cast<int>(static_cast<long long>(p.block) * 100 / p.blocks);
    const int filled = static_cast<int>(static_cast<long long>(p.block) * kBarWidth / p.blocks);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent);
    line += PadText("programming", 13) + " [" + bar + "] " + pct + " " + FormatProgressDetails(p, s.rate);
  } else {
    line += s.phase.empty() ? (s.started ? "starting" : "waiting") : s.phase;
  }
  return CutText(line, m_columns - 1);
}

void CStationView::Changed(size_t index, const HandsetStatus& s, const std::string& event) {
  m_dirty = true;
  if (m_style.terminal) return;
  if (index >= m_decile.size()) m_decile.resize(index + 1, 0);
  if (event == "finished") {
    HandsetLine(s, "result " + ResultText(s) + " after " + MinutesSeconds(s.elapsedS), s.exit != kExitOk);
    return;
  }
  if (m_style.quiet) return;
  if (event == "phase") {
    HandsetLine(s, "phase " + s.phase, false);
    if (s.phase == "programming") m_decile[index] = 0;
  } else if (event == "progress" && s.progress && s.progress->blocks > 0) {
    const BlockProgress& p = *s.progress;
    if (p.block == 0) m_decile[index] = 0;  // programming starts over after a new erase
    const int decile = static_cast<int>(static_cast<long long>(p.block) * 10 / p.blocks);
    if (decile <= m_decile[index]) return;
    m_decile[index] = decile;
    HandsetLine(s, "programming " + std::to_string(decile * 10) + "% (" + FormatProgressDetails(p, s.rate) + ")",
                false);
  }
}

void CStationView::HandsetLine(const HandsetStatus& s, const std::string& text, bool error) {
  Above(TerminalText(s.device) + ": " + TerminalText(text, true), error ? kRed : nullptr);
}

void CStationView::Note(const std::string& text, bool error) { Above(text, error ? kRed : nullptr); }

void CStationView::Above(const std::string& text, const char* colour) {
  if (!m_style.terminal) {
    m_out << text << '\n' << std::flush;
    return;
  }
  // Up over the block, the line, then the block again below it.
  if (m_drawn > 0) m_out << "\x1b[" << m_drawn << "A\r\x1b[J";
  if (colour && m_style.colour) m_out << colour << text << "\x1b[0m\n";
  else m_out << text << '\n';
  for (const auto& line : m_lastLines) m_out << line << '\n';
  m_drawn = m_lastLines.size();
  m_out << std::flush;
}

size_t CStationView::LabelWidth(const std::vector<HandsetStatus>& handsets) {
  size_t label = 0;
  for (const auto& h : handsets) label = std::max(label, TextWidth(TerminalText(h.device)));
  return std::min(label, kMaxLabel);
}

void CStationView::Draw(const std::vector<HandsetStatus>& handsets) {
  if (!m_style.terminal || !m_dirty) return;
  const size_t label = LabelWidth(handsets);
  std::vector<std::string> lines;
  for (const auto& h : handsets) lines.push_back(StatusLine(h, label));
  DrawLines(std::move(lines));
}

void CStationView::DrawLines(std::vector<std::string> lines) {
  if (!m_style.terminal) return;
  m_dirty = false;
  if (m_drawn > lines.size()) {
    // Fewer lines than last time: the spare ones are cleared from the block's end.
    m_out << "\x1b[" << m_drawn << "A\r\x1b[J";
    m_drawn = 0;
  }
  if (m_drawn > 0) m_out << "\x1b[" << m_drawn << "A";
  for (const auto& line : lines) m_out << "\r\x1b[K" << line << '\n';
  m_drawn = lines.size();
  m_lastLines = std::move(lines);
  m_out << std::flush;
}

void CStationView::Summary(const std::vector<HandsetStatus>& handsets) {
  Draw(handsets);
  m_drawn = 0;  // the block stays on the screen as it is
  m_lastLines.clear();
  size_t device = 6, result = 6;
  for (const auto& h : handsets) {
    device = std::max(device, TextWidth(TerminalText(h.device)));
    result = std::max(result, TextWidth(ResultText(h)));
  }
  m_out << '\n' << PadText("device", device) << "  " << PadText("result", result) << "  " << PadText("time", 6) << "  S/W version\n";
  for (const auto& h : handsets)
    m_out << PadText(TerminalText(h.device), device) << "  " << PadText(ResultText(h), result) << "  "
          << PadText(MinutesSeconds(h.elapsedS), 6) << "  " << (h.sw.empty() ? "-" : TerminalText(h.sw)) << '\n';
  const auto completed = std::count_if(handsets.begin(), handsets.end(),
                                       [](const HandsetStatus& h) { return h.Finished() && h.exit == kExitOk; });
  const int status = StationExitStatus(handsets);
  m_out << "station: " << completed << " of " << handsets.size() << " handsets completed; exit " << status;
  for (const auto& h : handsets)
    if (!h.Finished() || h.exit != kExitOk) {
      m_out << " (that of " << TerminalText(h.device) << ")";
      break;
    }
  m_out << '\n' << std::flush;
}
