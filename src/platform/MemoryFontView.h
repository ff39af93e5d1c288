#pragma once
// The font dialog's controls held in memory, for runs of the dialog without a toolkit (tests,
// the console). Type() is the user at the keyboard: an edit limited by LimitText refuses the
// characters past its limit; SetItemText is the program and is not limited, as with an edit
// control.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "DlgFont.h"

class CMemoryFontView : public CDlgFontView {
 public:
  std::string GetItemText(int id) override;
  void SetItemText(int id, const std::string& text) override;
  void LimitText(int id, int maxChars) override;
  void SetSpinRange(int lo, int hi) override;
  void SetSpinPos(int pos) override;
  void SetFocus(int id) override;
  void ShowValidationMessage(const std::string& text) override;
  void EndDialog(int result) override;

  // Replaces the edit's text as typing would; returns the text the edit kept.
  std::string Type(int id, const std::string& text);

  std::optional<int> Result() const { return m_result; }
  const std::vector<std::string>& ValidationMessages() const { return m_messages; }
  int Focus() const { return m_focus; }
  int SpinLow() const { return m_spinLo; }
  int SpinHigh() const { return m_spinHi; }
  int SpinPos() const { return m_spinPos; }

 private:
  std::map<int, std::string> m_texts;
  std::map<int, int> m_limits;
  std::vector<std::string> m_messages;
  std::optional<int> m_result;
  int m_focus = 0;
  int m_spinLo = 0;
  int m_spinHi = 0;
  int m_spinPos = 0;
};
