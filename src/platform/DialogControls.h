#pragma once
// The main window's controls, addressed by their ids. The window moves its values to and from
// them all at once; the implementations are the Qt widgets, the console and an in-memory model.
#include <cstdint>
#include <string>
#include <vector>

class CDialogControls {
 public:
  virtual ~CDialogControls() = default;

  virtual void SetText(int id, const std::string& text) = 0;
  virtual std::string GetText(int id) const = 0;
  virtual void Enable(int id, bool enabled) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void Show(int id, bool shown) = 0;
  virtual bool IsShown(int id) const = 0;

  // Drop-down lists: the items, and the selected index (-1 = none).
  virtual void SetComboItems(int id, const std::vector<std::string>& items) = 0;
  virtual std::vector<std::string> GetComboItems(int id) const = 0;
  virtual void SetComboSel(int id, int index) = 0;
  virtual int GetComboSel(int id) const = 0;

  // The rich-text log view: append text at the end in a colour (stored blue-green-red), bold or
  // not; clear everything.
  virtual void AppendRichText(int id, const std::string& text, uint32_t colorBgr, bool bold) = 0;
  virtual void ClearRichText(int id) = 0;

  // Progress bars. The text bar also takes a window text that replaces its percentage, and a
  // switch for drawing any text at all.
  virtual void SetProgressRange(int id, int lower, int upper) = 0;
  virtual void SetProgressPos(int id, int pos) = 0;
  virtual void SetProgressText(int id, const std::string& text) = 0;
  virtual void EnableProgressText(int id, bool on) = 0;
};
