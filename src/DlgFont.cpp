#include "DlgFont.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Translate.h"

namespace {

constexpr const char* kNotIntegerText = TrLater("Please enter an integer.");
constexpr const char* kCountRangeText = TrLater("Please enter an integer between 1 and 100.");
constexpr const char* kAddressLengthText = TrLater("Please enter no more than 6 characters.");
constexpr const char* kAddressHexText = TrLater("Please enter the start address in hexadecimal digits (0-9, A-F).");

enum class IntParse { Ok, NotInteger, OutOfRange };

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Blanks, an optional sign, decimal digits, blanks; nothing else. Values beyond int range are
// reported as out of range instead of wrapping.
IntParse ParseInt(const std::string& text, int lo, int hi, int& value) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digitsFrom = i;
  long long magnitude = 0;
  bool huge = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude > 1'000'000'000'000LL) huge = true;  // keep counting digits, stop growing
    else magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (i == digitsFrom) return IntParse::NotInteger;
  while (i < n && IsBlank(text[i])) ++i;
  if (i != n) return IntParse::NotInteger;
  const long long v = negative ? -magnitude : magnitude;
  if (huge || v < lo || v > hi) return IntParse::OutOfRange;
  value = static_cast<int>(v);
  return IntParse::Ok;
}

// Characters as the user sees them, not bytes: UTF-8 continuation bytes are not counted.
size_t CharCount(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

void CDlgFont::PushFields(CDlgFontView& view) {
  view.SetItemText(IDC_FONT_COUNT, std::to_string(m_nBlockCount));
  view.SetItemText(IDC_FONT_ADDRESS, m_strAddress);
}

// All or nothing: the fields change only when every control passes.
bool CDlgFont::PullFields(CDlgFontView& view) {
  int count = 0;
  switch (ParseInt(view.GetItemText(IDC_FONT_COUNT), kMinBlockCount, kMaxBlockCount, count)) {
    case IntParse::Ok:
      break;
    case IntParse::NotInteger:
      view.ShowValidationMessage(Tr(kNotIntegerText));
      view.SetFocus(IDC_FONT_COUNT);
      return false;
    case IntParse::OutOfRange:
      view.ShowValidationMessage(Tr(kCountRangeText));
      view.SetFocus(IDC_FONT_COUNT);
      return false;
  }
  std::string address = view.GetItemText(IDC_FONT_ADDRESS);
  if (CharCount(address) > static_cast<size_t>(kMaxAddressChars)) {
    view.ShowValidationMessage(Tr(kAddressLengthText));
    view.SetFocus(IDC_FONT_ADDRESS);
    return false;
  }
  // Anything but hex digits would be read as the digits before it, or as 0: a font written
  // over the start of the flash; so would an empty field, which is no address either.
  if (address.empty() || !CDlgFont::IsHexAddressText(address)) {
    view.ShowValidationMessage(Tr(kAddressHexText));
    view.SetFocus(IDC_FONT_ADDRESS);
    return false;
  }
  m_nBlockCount = count;
  m_strAddress = std::move(address);
  return true;
}

bool CDlgFont::IsHexAddressText(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

void CDlgFont::OnInitDialog(CDlgFontView& view) {
  PushFields(view);
  view.LimitText(IDC_FONT_ADDRESS, kMaxAddressChars);
  view.SetSpinRange(kMinBlockCount, kMaxBlockCount);
  view.SetSpinPos(m_nBlockCount);
  view.SetFocus(IDOK);
}

void CDlgFont::OnOK(CDlgFontView& view) {
  if (!PullFields(view)) return;
  // The user types only the digits after the "0x" label.
  const std::string hex = "0X" + m_strAddress;
  m_dwFontAddr = static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
  m_dwFontSize = static_cast<uint32_t>(m_nBlockCount) << 16;
  view.EndDialog(IDOK);
}

void CDlgFont::OnCancel(CDlgFontView& view) { view.EndDialog(IDCANCEL); }

long CDlgFont::OnDeltaposSpin(CDlgFontView& view, int pos, int delta) {
  // Keep what was typed into the address so that the push below does not wipe it.
  m_strAddress = view.GetItemText(IDC_FONT_ADDRESS);
  const long long next = static_cast<long long>(pos) + delta;
  m_nBlockCount = static_cast<int32_t>(
      std::clamp<long long>(next, kMinBlockCount, kMaxBlockCount));
  PushFields(view);
  return 0;
}
