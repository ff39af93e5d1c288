#pragma once
// The main window's controls held in memory: what tests read back and what the console
// front-end prints. Controls spring into being on first use, enabled and shown, like the
// ones a dialog template creates. Used on the window's thread only.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/DialogControls.h"

enum class ControlChange {
  Text,
  Enabled,
  Shown,
  ComboItems,
  ComboSel,
  RichTextAppend,  // text, colorBgr, flag = bold
  RichTextClear,
  ProgressRange,  // value = lower, upper
  ProgressPos,
  ProgressText,
  ProgressTextEnabled,
};

// One change of one control and its new value; only the fields of that kind are meaningful.
struct ControlEvent {
  int id = 0;
  ControlChange change = ControlChange::Text;
  std::string text;
  std::vector<std::string> items;
  int value = 0;
  int upper = 0;
  bool flag = false;
  uint32_t colorBgr = 0;
};

// One line for journals and consoles, e.g. `1000 append "abc" color=0xff0000 bold`.
std::string DescribeControlEvent(const ControlEvent& event);

struct RichTextRun {
  std::string text;
  uint32_t colorBgr = 0;
  bool bold = false;
  bool operator==(const RichTextRun&) const = default;
};

class CMemoryControls : public CDialogControls {
 public:
  using Observer = std::function<void(const ControlEvent&)>;

  // Observers hear of every call that changes a value, after the change; calls that leave
  // the value as it was stay silent.
  void AddObserver(Observer observer);

  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void Enable(int id, bool enabled) override;
  bool IsEnabled(int id) const override;
  void Show(int id, bool shown) override;
  bool IsShown(int id) const override;

  // New items drop the selection, as refilling a list does.
  void SetComboItems(int id, const std::vector<std::string>& items) override;
  std::vector<std::string> GetComboItems(int id) const override;
  // An index outside the items leaves no selection (-1).
  void SetComboSel(int id, int index) override;
  int GetComboSel(int id) const override;

  void AppendRichText(int id, const std::string& text, uint32_t colorBgr, bool bold) override;
  void ClearRichText(int id) override;

  // Range and position are stored as given; the text bar draws whatever they say.
  void SetProgressRange(int id, int lower, int upper) override;
  void SetProgressPos(int id, int pos) override;
  void SetProgressText(int id, const std::string& text) override;
  void EnableProgressText(int id, bool on) override;

  // Read-back for tests and the console.
  std::string LogPlainText(int id) const;
  std::vector<RichTextRun> LogRuns(int id) const;
  int ProgressLower(int id) const;
  int ProgressUpper(int id) const;
  int ProgressPos(int id) const;
  std::string ProgressText(int id) const;
  bool IsProgressTextEnabled(int id) const;
  bool Exists(int id) const { return m_controls.count(id) != 0; }

 private:
  struct Control {
    std::string text;
    bool enabled = true;
    bool shown = true;
    std::vector<std::string> items;
    int sel = -1;
    std::vector<RichTextRun> runs;
    int lower = 0;
    int upper = 100;
    int pos = 0;
    std::string progressText;
    bool progressTextOn = true;
  };

  Control& At(int id) { return m_controls[id]; }
  const Control& Peek(int id) const;
  void Notify(const ControlEvent& event);

  std::map<int, Control> m_controls;
  std::vector<Observer> m_observers;
};
