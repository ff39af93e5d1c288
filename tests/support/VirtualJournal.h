#pragma once
// What the virtual-time window saw, each event stamped with the virtual time it happened at.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/MemoryControls.h"
#include "platform/WindowServices.h"

enum class JournalKind {
  Message,         // a message handed to the handler (posted, timer expiry)
  SetTimer,
  KillTimer,
  Pause,
  MessageBox,
  FileDialog,
  FontDialog,      // opening, typing, buttons pressed, closing
  FontValidation,  // a validation message the font dialog showed
  WaitCursor,
  Capture,
  Control,         // a change of one of the window's controls
  Failure,         // something the test did not script or the run could not finish
};

const char* JournalKindName(JournalKind kind);
// "WM_TIMER", "WM_RX_PACKET", ... or the number in hexadecimal.
std::string MessageName(uint32_t message);

struct JournalEntry {
  uint64_t timeMs = 0;
  JournalKind kind = JournalKind::Message;
  std::string detail;
};

struct DispatchRecord {
  uint64_t timeMs = 0;
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

struct TimerCallRecord {
  uint64_t timeMs = 0;
  uint32_t id = 0;
  uint32_t periodMs = 0;  // 0 for a kill
  bool kill = false;
};

struct PauseRecord {
  uint64_t timeMs = 0;  // when the pause began
  uint32_t ms = 0;
};

struct MessageBoxRecord {
  uint64_t timeMs = 0;
  std::string text;
  std::string caption;
  unsigned type = 0;
  int answer = 0;
  bool scripted = false;  // false: nobody expected it and the safe answer was given
};

struct FileDialogRecord {
  uint64_t timeMs = 0;
  FileOpenRequest request;
  std::optional<std::string> answer;
  bool scripted = false;
};

// One visit of the user to an open font dialog: what to type into the two edits (nothing:
// leave the edit as it is) and which button to press.
struct FontDialogScript {
  std::optional<std::string> addressText;
  std::optional<std::string> countText;
  bool pressOk = true;
};

struct FontDialogRecord {
  uint64_t timeMs = 0;
  int result = 0;  // IDOK or IDCANCEL
  std::string addressText;  // the edits as they were when the dialog closed
  std::string countText;
  std::vector<std::string> validationMessages;
  uint32_t fontAddress = 0;  // what the dialog answered, after IDOK
  uint32_t fontSize = 0;
};

struct ControlRecord {
  uint64_t timeMs = 0;
  ControlEvent event;
};
