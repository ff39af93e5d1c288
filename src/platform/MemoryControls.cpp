#include "platform/MemoryControls.h"

#include <cstdio>

namespace {

// Line breaks and other control characters written out, so that one event stays one line.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string OnOff(bool on) { return on ? "on" : "off"; }

ControlEvent Event(int id, ControlChange change) {
  ControlEvent e;
  e.id = id;
  e.change = change;
  return e;
}

ControlEvent FlagEvent(int id, ControlChange change, bool flag) {
  ControlEvent e = Event(id, change);
  e.flag = flag;
  return e;
}

ControlEvent ValueEvent(int id, ControlChange change, int value) {
  ControlEvent e = Event(id, change);
  e.value = value;
  return e;
}

ControlEvent TextEvent(int id, ControlChange change, const std::string& text) {
  ControlEvent e = Event(id, change);
  e.text = text;
  return e;
}

}  // namespace

std::string DescribeControlEvent(const ControlEvent& e) {
  std::string out = std::to_string(e.id) + " ";
  switch (e.change) {
    case ControlChange::Text: return out + "text " + Quoted(e.text);
    case ControlChange::Enabled: return out + "enabled " + OnOff(e.flag);
    case ControlChange::Shown: return out + "shown " + OnOff(e.flag);
    case ControlChange::ComboItems: {
      out += "items [";
      for (size_t i = 0; i < e.items.size(); ++i) out += (i ? ", " : "") + Quoted(e.items[i]);
      return out + "]";
    }
    case ControlChange::ComboSel: return out + "sel " + std::to_string(e.value);
    case ControlChange::RichTextAppend: {
      char color[16];
      std::snprintf(color, sizeof color, "0x%06x", static_cast<unsigned>(e.colorBgr));
      return out + "append " + Quoted(e.text) + " color=" + color + (e.flag ? " bold" : "");
    }
    case ControlChange::RichTextClear: return out + "clear";
    case ControlChange::ProgressRange:
      return out + "range " + std::to_string(e.value) + ".." + std::to_string(e.upper);
    case ControlChange::ProgressPos: return out + "pos " + std::to_string(e.value);
    case ControlChange::ProgressText: return out + "progress text " + Quoted(e.text);
    case ControlChange::ProgressTextEnabled: return out + "progress text " + OnOff(e.flag);
  }
  return out + "?";
}

void CMemoryControls::AddObserver(Observer observer) {
  if (observer) m_observers.push_back(std::move(observer));
}

const CMemoryControls::Control& CMemoryControls::Peek(int id) const {
  static const Control kFresh;
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? kFresh : it->second;
}

void CMemoryControls::Notify(const ControlEvent& event) {
  if (m_observers.empty()) return;
  // A copy, so that an observer may add another without pulling the list from under us.
  const std::vector<Observer> observers = m_observers;
  for (const auto& observer : observers) observer(event);
}

void CMemoryControls::SetText(int id, const std::string& text) {
  Control& c = At(id);
  if (c.text == text) return;
  c.text = text;
  Notify(TextEvent(id, ControlChange::Text, text));
}

std::string CMemoryControls::GetText(int id) const { return Peek(id).text; }

void CMemoryControls::Enable(int id, bool enabled) {
  Control& c = At(id);
  if (c.enabled == enabled) return;
  c.enabled = enabled;
  Notify(FlagEvent(id, ControlChange::Enabled, enabled));
}

bool CMemoryControls::IsEnabled(int id) const { return Peek(id).enabled; }

void CMemoryControls::Show(int id, bool shown) {
  Control& c = At(id);
  if (c.shown == shown) return;
  c.shown = shown;
  Notify(FlagEvent(id, ControlChange::Shown, shown));
}

bool CMemoryControls::IsShown(int id) const { return Peek(id).shown; }

void CMemoryControls::SetComboItems(int id, const std::vector<std::string>& items) {
  Control& c = At(id);
  if (c.items != items) {
    c.items = items;
    ControlEvent e = Event(id, ControlChange::ComboItems);
    e.items = items;
    Notify(e);
  }
  if (c.sel != -1) {
    c.sel = -1;
    Notify(ValueEvent(id, ControlChange::ComboSel, -1));
  }
}

std::vector<std::string> CMemoryControls::GetComboItems(int id) const { return Peek(id).items; }

void CMemoryControls::SetComboSel(int id, int index) {
  Control& c = At(id);
  const int sel = index >= 0 && static_cast<size_t>(index) < c.items.size() ? index : -1;
  if (c.sel == sel) return;
  c.sel = sel;
  Notify(ValueEvent(id, ControlChange::ComboSel, sel));
}

int CMemoryControls::GetComboSel(int id) const { return Peek(id).sel; }

void CMemoryControls::AppendRichText(int id, const std::string& text, uint32_t colorBgr, bool bold) {
  Control& c = At(id);
  if (text.empty()) return;
  c.runs.push_back(RichTextRun{text, colorBgr, bold});
  ControlEvent e = TextEvent(id, ControlChange::RichTextAppend, text);
  e.flag = bold;
  e.colorBgr = colorBgr;
  Notify(e);
}

void CMemoryControls::ClearRichText(int id) {
  Control& c = At(id);
  if (c.runs.empty()) return;
  c.runs.clear();
  Notify(Event(id, ControlChange::RichTextClear));
}

void CMemoryControls::SetProgressRange(int id, int lower, int upper) {
  Control& c = At(id);
  if (c.lower == lower && c.upper == upper) return;
  c.lower = lower;
  c.upper = upper;
  ControlEvent e = ValueEvent(id, ControlChange::ProgressRange, lower);
  e.upper = upper;
  Notify(e);
}

void CMemoryControls::SetProgressPos(int id, int pos) {
  Control& c = At(id);
  if (c.pos == pos) return;
  c.pos = pos;
  Notify(ValueEvent(id, ControlChange::ProgressPos, pos));
}

void CMemoryControls::SetProgressText(int id, const std::string& text) {
  Control& c = At(id);
  if (c.progressText == text) return;
  c.progressText = text;
  Notify(TextEvent(id, ControlChange::ProgressText, text));
}

void CMemoryControls::EnableProgressText(int id, bool on) {
  Control& c = At(id);
  if (c.progressTextOn == on) return;
  c.progressTextOn = on;
  Notify(FlagEvent(id, ControlChange::ProgressTextEnabled, on));
}

std::string CMemoryControls::LogPlainText(int id) const {
  std::string out;
  for (const auto& run : Peek(id).runs) out += run.text;
  return out;
}

std::vector<RichTextRun> CMemoryControls::LogRuns(int id) const { return Peek(id).runs; }
int CMemoryControls::ProgressLower(int id) const { return Peek(id).lower; }
int CMemoryControls::ProgressUpper(int id) const { return Peek(id).upper; }
int CMemoryControls::ProgressPos(int id) const { return Peek(id).pos; }
std::string CMemoryControls::ProgressText(int id) const { return Peek(id).progressText; }
bool CMemoryControls::IsProgressTextEnabled(int id) const { return Peek(id).progressTextOn; }
