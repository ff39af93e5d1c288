#include "Comm/TextProgressCtrl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Integer part toward zero, held inside the 32-bit range so that an unchecked range or position
// far outside it cannot make the conversion undefined.
int32_t TruncToInt(double v) {
  v = std::trunc(v);
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(v);
}

// 32-bit arithmetic that wraps instead of overflowing.
int32_t WrappingAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

bool IsUtf8Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Moves a cut at byte `cut` of `s` back to the start of the character it would split.
size_t CutBeforeCharacter(const std::string& s, size_t cut) {
  if (cut >= s.size()) return cut;
  size_t start = cut;
  // A UTF-8 sequence has at most three continuation bytes.
  while (start > 0 && cut - start < 3 && IsUtf8Continuation(static_cast<unsigned char>(s[start]))) {
    --start;
  }
  const auto lead = static_cast<unsigned char>(s[start]);
  if (start < cut && !IsUtf8Continuation(lead) && start + Utf8SequenceLength(lead) > cut) {
    return start;
  }
  return cut;
}

}  // namespace

CTextProgressCtrl::CTextProgressCtrl(uint32_t crHighlight, uint32_t crWindow,
                                     CProgressSurface* pSurface)
    : m_crBar(crHighlight),
      m_crBack(crWindow),
      m_crBackText(crHighlight),
      m_crBarText(crWindow),
      m_pSurface(pSurface) {}

double CTextProgressCtrl::Fraction() const {
  // In double so that a range spanning more than 2^31 does not overflow.
  return (static_cast<double>(m_nPos) - m_nLower) / (static_cast<double>(m_nUpper) - m_nLower);
}

void CTextProgressCtrl::SetRange(int32_t nLower, int32_t nUpper) {
  m_nLower = nLower;
  m_nUpper = nUpper;
}

int32_t CTextProgressCtrl::SetPos(int32_t nPos) {
  if (!HasWindow()) return -1;
  const int32_t nOld = m_nPos;
  m_nPos = nPos;
  if (m_nUpper == m_nLower) {
    m_nBarPixels = -1;
    return nOld;
  }
  const int32_t nPixels = TruncToInt(m_pSurface->ClientWidth() * Fraction());
  // Positions that leave the edge where it is cost no drawing, even if the percentage moved.
  if (nPixels != m_nBarPixels) {
    m_nBarPixels = nPixels;
    m_pSurface->RedrawNow();
  }
  return nOld;
}

int32_t CTextProgressCtrl::OffsetPos(int32_t nDelta) { return SetPos(WrappingAdd(m_nPos, nDelta)); }

void CTextProgressCtrl::SetStep(int32_t nStep) { m_nStep = nStep; }

int32_t CTextProgressCtrl::StepIt() { return SetPos(WrappingAdd(m_nPos, m_nStep)); }

void CTextProgressCtrl::EnableText(bool bShow) {
  if (HasWindow() && bShow != m_bShowText) m_pSurface->Invalidate();
  m_bShowText = bShow;
}

bool CTextProgressCtrl::OnSetText(const char* pszText) {
  const bool bChanged = pszText == nullptr ? !m_strText.empty() : m_strText != pszText;
  if (bChanged) {
    m_strText = pszText == nullptr ? "" : pszText;
    if (HasWindow()) m_pSurface->Invalidate();
  }
  return true;
}

size_t CTextProgressCtrl::OnGetText(size_t n, char* pBuffer) const {
  if (n == 0 || pBuffer == nullptr) return 0;
  const size_t nCopy = CutBeforeCharacter(m_strText, std::min(n - 1, m_strText.size()));
  std::memcpy(pBuffer, m_strText.data(), nCopy);
  pBuffer[nCopy] = '\0';
  return nCopy;
}

CProgressPaintPlan CTextProgressCtrl::PaintPlan(int nWidth, int nHeight) const {
  CProgressPaintPlan plan;
  if (m_nLower >= m_nUpper) return plan;
  plan.bDraw = true;
  plan.rcClient = {0, 0, nWidth, nHeight};
  const double f = Fraction();
  // The edge is not clamped by the arithmetic; only what lies inside the client area shows.
  const int nEdge = std::clamp(TruncToInt(nWidth * f), 0, std::max(nWidth, 0));
  plan.rcBar = {0, 0, nEdge, nHeight};
  plan.rcBack = {nEdge, 0, nWidth, nHeight};
  plan.bShowText = m_bShowText;
  if (m_bShowText) {
    plan.strText = m_strText.empty() ? std::to_string(TruncToInt(f * 100.0)) + "%" : m_strText;
  }
  plan.crBar = m_crBar;
  plan.crBack = m_crBack;
  plan.crBarText = m_crBarText;
  plan.crBackText = m_crBackText;
  return plan;
}
