#pragma once
// The "FONT DOWNLOAD" dialog's logic: a hexadecimal start address and a count of 64 KB blocks.
// The widgets sit behind CDlgFontView so that this part needs no toolkit.
#include <cstdint>
#include <string>

#include "platform/MessageBox.h"

constexpr int IDD_FONT = 231;
constexpr int IDC_FONT_SPIN = 1025;
constexpr int IDC_FONT_ADDRESS = 2038;
constexpr int IDC_FONT_COUNT = 2039;

// The dialog's controls as the logic sees them.
class CDlgFontView {
 public:
  virtual ~CDlgFontView() = default;
  virtual std::string GetItemText(int id) = 0;
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual void LimitText(int id, int maxChars) = 0;
  virtual void SetSpinRange(int lo, int hi) = 0;
  virtual void SetSpinPos(int pos) = 0;
  virtual void SetFocus(int id) = 0;
  virtual void ShowValidationMessage(const std::string& text) = 0;
  virtual void EndDialog(int result) = 0;
};

class CDlgFont {
 public:
  static constexpr int kMinBlockCount = 1;
  static constexpr int kMaxBlockCount = 100;
  static constexpr int kMaxAddressChars = 6;

  // Hexadecimal digits only (OK refuses an empty text: it is no address).
  static bool IsHexAddressText(const std::string& text);

  void OnInitDialog(CDlgFontView& view);
  void OnOK(CDlgFontView& view);
  void OnCancel(CDlgFontView& view);
  // Up-down step from control 1025: pos is the control's position, delta the step.
  long OnDeltaposSpin(CDlgFontView& view, int pos, int delta);

  uint32_t GetFontAddress() const { return m_dwFontAddr; }
  uint32_t GetFontSize() const { return m_dwFontSize; }

 private:
  void PushFields(CDlgFontView& view);
  bool PullFields(CDlgFontView& view);

  uint32_t m_dwFontAddr = 0;
  uint32_t m_dwFontSize = 0;
  int32_t m_nBlockCount = 1;
  std::string m_strAddress;
};
