#include "platform/MemoryFontView.h"

namespace {

bool StartsCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// The first maxChars characters (counted as the dialog counts them); a UTF-8 sequence is
// never cut in half.
std::string FirstChars(const std::string& text, int maxChars) {
  if (maxChars <= 0) return text;  // no limit, as an edit control takes 0
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (StartsCharacter(text[i]) && count++ == maxChars) return text.substr(0, i);
  }
  return text;
}

}  // namespace

std::string CMemoryFontView::GetItemText(int id) { return m_texts[id]; }
void CMemoryFontView::SetItemText(int id, const std::string& text) { m_texts[id] = text; }
void CMemoryFontView::LimitText(int id, int maxChars) { m_limits[id] = maxChars; }
void CMemoryFontView::SetSpinRange(int lo, int hi) {
  m_spinLo = lo;
  m_spinHi = hi;
}
void CMemoryFontView::SetSpinPos(int pos) { m_spinPos = pos; }
void CMemoryFontView::SetFocus(int id) { m_focus = id; }
void CMemoryFontView::ShowValidationMessage(const std::string& text) { m_messages.push_back(text); }

void CMemoryFontView::EndDialog(int result) {
  if (!m_result) m_result = result;  // the first end counts, as with a modal dialog
}

std::string CMemoryFontView::Type(int id, const std::string& text) {
  const auto limit = m_limits.find(id);
  std::string kept = limit == m_limits.end() ? text : FirstChars(text, limit->second);
  m_texts[id] = kept;
  return kept;
}
