#pragma once
// A progress bar that draws itself: a filled and an unfilled part with a centred text over both
// (the percentage, or a text the owner sets), whose colour changes where the bar's edge crosses
// it. This is the logic only; the window it draws in is reached through CProgressSurface.
#include <cstddef>
#include <cstdint>
#include <string>

// The window under the control, as far as the logic needs it.
class CProgressSurface {
 public:
  virtual ~CProgressSurface() = default;
  virtual bool HasWindow() const = 0;
  virtual int ClientWidth() const = 0;
  // Invalidate all of the control, erase and paint, all before returning.
  virtual void RedrawNow() = 0;
  // Mark all of the control for repainting later.
  virtual void Invalidate() = 0;
};

struct CProgressRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool IsEmpty() const { return right <= left || bottom <= top; }
  bool operator==(const CProgressRect&) const = default;
};

// What one paint draws for a client area: fill rcBar and rcBack, then, if bShowText, draw
// strText centred in rcClient twice, clipped to rcBar in crBarText and to rcBack in crBackText.
struct CProgressPaintPlan {
  bool bDraw = false;  // false: the paint draws nothing at all
  CProgressRect rcClient;
  CProgressRect rcBar;   // filled part, cut to the client area
  CProgressRect rcBack;  // unfilled part, cut to the client area
  bool bShowText = false;
  std::string strText;  // UTF-8
  uint32_t crBar = 0;
  uint32_t crBack = 0;
  uint32_t crBarText = 0;
  uint32_t crBackText = 0;
};

class CTextProgressCtrl {
 public:
  // Colours are stored blue-green-red (blue = 0xFF0000). The bar and the text over the unfilled
  // part take the highlight colour, the unfilled part and the text over the bar the window colour.
  CTextProgressCtrl(uint32_t crHighlight, uint32_t crWindow, CProgressSurface* pSurface = nullptr);
  CTextProgressCtrl(const CTextProgressCtrl&) = delete;
  CTextProgressCtrl& operator=(const CTextProgressCtrl&) = delete;

  void SetSurface(CProgressSurface* pSurface) { m_pSurface = pSurface; }

  // Neither the range nor the position is checked or clamped.
  void SetRange(int32_t nLower, int32_t nUpper);
  // Returns the previous position, or -1 (and changes nothing) when there is no window.
  int32_t SetPos(int32_t nPos);
  int32_t OffsetPos(int32_t nDelta);
  void SetStep(int32_t nStep);
  int32_t StepIt();
  void EnableText(bool bShow);

  void SetBarColor(uint32_t cr) { m_crBar = cr; }
  void SetBackColor(uint32_t cr) { m_crBack = cr; }
  void SetBarTextColor(uint32_t cr) { m_crBarText = cr; }
  void SetBackTextColor(uint32_t cr) { m_crBackText = cr; }
  uint32_t GetBarColor() const { return m_crBar; }
  uint32_t GetBackColor() const { return m_crBack; }
  uint32_t GetBarTextColor() const { return m_crBarText; }
  uint32_t GetBackTextColor() const { return m_crBackText; }

  // Window text. A null or empty text brings the percentage back. Returns the result of storing
  // the window text, which always succeeds.
  bool OnSetText(const char* pszText);
  // Copies at most n - 1 bytes of the text and a terminating zero, never cutting a UTF-8
  // sequence; returns the bytes copied without the terminator (0 when n is 0 or no buffer).
  size_t OnGetText(size_t n, char* pBuffer) const;
  // The client area changed size: the next SetPos repaints.
  void OnSize() { m_nBarPixels = -1; }

  CProgressPaintPlan PaintPlan(int nWidth, int nHeight) const;

  int32_t GetPos() const { return m_nPos; }
  int32_t GetStep() const { return m_nStep; }
  int32_t GetLower() const { return m_nLower; }
  int32_t GetUpper() const { return m_nUpper; }
  int32_t GetBarPixels() const { return m_nBarPixels; }
  bool IsTextEnabled() const { return m_bShowText; }
  const std::string& GetText() const { return m_strText; }

 private:
  bool HasWindow() const { return m_pSurface != nullptr && m_pSurface->HasWindow(); }
  double Fraction() const;

  int32_t m_nPos = 0;
  int32_t m_nStep = 1;
  int32_t m_nUpper = 100;
  int32_t m_nLower = 0;
  std::string m_strText;
  bool m_bShowText = true;
  int32_t m_nBarPixels = -1;  // -1 forces the next SetPos to redraw
  uint32_t m_crBar;
  uint32_t m_crBack;
  uint32_t m_crBackText;
  uint32_t m_crBarText;
  CProgressSurface* m_pSurface;
};
