#pragma once
// What the main window needs of the platform's windowing library: its message queue, timers by
// id, UI-thread pauses, the millisecond clock, message boxes and dialogs, the wait cursor and
// mouse capture, and its controls. One real-time implementation, one with virtual time.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/DialogControls.h"
#include "platform/MessageBox.h"
#include "platform/WindowMessage.h"

constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_COMMAND = 0x0111;  // wParam: the control id; lParam: the notification
constexpr uint32_t WM_TIMER = 0x0113;    // wParam: the timer id

constexpr intptr_t BN_CLICKED = 0;
constexpr intptr_t CBN_SELCHANGE = 1;

class CDlgFont;

struct FileOpenRequest {
  std::string defaultExtension;  // "bin"
  std::string initialFile;       // folder followed by "*.bin"
  std::string filter;            // "Download Binary File (*.bin)|*.bin|All Files (*.*)|*.*||"
};

class CWindowServices : public CMessageTarget, public CMessageBoxService {
 public:
  using CMessageTarget::PostMessage;

  // Every message (posted ones, timer expiries, commands) is handed to this function on the
  // window's thread, one at a time, in order.
  virtual void SetHandler(std::function<void(const WindowMessage&)> handler) = 0;

  // Window timers: each expiry arrives as WM_TIMER with the id; setting an id again replaces it.
  virtual void SetTimer(uint32_t id, uint32_t periodMs) = 0;
  virtual void KillTimer(uint32_t id) = 0;

  // The window's thread stops for ms; posted messages and user input wait until it ends.
  virtual void Pause(uint32_t ms) = 0;
  // Milliseconds on a steady clock; stands in for the processor clock.
  virtual uint64_t ClockMs() = 0;

  // The file-open dialog; no value when cancelled.
  virtual std::optional<std::string> FileOpenDialog(const FileOpenRequest& request) = 0;
  // Runs the font dialog modally over the given logic; returns IDOK or IDCANCEL.
  virtual int RunFontDialog(CDlgFont& dialog) = 0;

  virtual void BeginWaitCursor() = 0;
  virtual void EndWaitCursor() = 0;
  virtual void SetCapture() = 0;
  virtual void ReleaseCapture() = 0;

  virtual CDialogControls& Controls() = 0;
};
