#pragma once
// The main window's template: every control with its id, kind, text and place in dialog units.
#include <vector>

enum class ControlKind { ImageButton, GroupBox, Label, Edit, RightEdit, Combo, TextProgress, Progress, RichEdit, HiddenButton };

struct ControlSpec {
  int id;  // 0 for the controls nobody addresses
  ControlKind kind;
  const char* text;
  int x, y, width, height;
};

constexpr int kMainWindowWidthDu = 270;
constexpr int kMainWindowHeightDu = 285;

const std::vector<ControlSpec>& MainWindowControls();
// The tool-tip text of a control: only the five command buttons have one.
const char* ToolTipText(int id);
