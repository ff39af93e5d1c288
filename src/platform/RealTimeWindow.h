#pragma once
// The window's services in real time, for the command-line front-end: a message queue that
// any thread posts to, timers by id on the steady clock, pauses that sleep the window's
// thread, and the modal questions handed to callbacks the front-end sets.
//
// Run is the window's message loop: posted messages first, in order; when none waits, the
// earliest timer that has come due. A timer killed before its WM_TIMER is handed out never
// fires again. Pause sleeps in full; messages and timers wait until it ends.
//
// Threads: PostMessage and Quit may be called from any thread; everything else belongs to the
// thread that calls Run (the window's thread).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/MemoryControls.h"
#include "platform/PostQueue.h"
#include "platform/TimerTable.h"
#include "platform/WindowServices.h"

struct ShownMessageBox {
  std::string text;
  std::string caption;
  unsigned type = 0;
  int answer = 0;
};

class CRealTimeWindow : public CWindowServices {
 public:
  using MessageBoxHandler = std::function<int(const std::string& text, const std::string& caption, unsigned type)>;
  using FileDialogHandler = std::function<std::optional<std::string>(const FileOpenRequest&)>;
  using FontDialogHandler = std::function<int(CDlgFont&)>;

  CRealTimeWindow();
  CRealTimeWindow(const CRealTimeWindow&) = delete;
  CRealTimeWindow& operator=(const CRealTimeWindow&) = delete;

  // CWindowServices
  using CWindowServices::PostMessage;
  void PostMessage(const WindowMessage& msg) override;
  void SetHandler(std::function<void(const WindowMessage&)> handler) override;
  void SetTimer(uint32_t id, uint32_t periodMs) override;
  void KillTimer(uint32_t id) override;
  void Pause(uint32_t ms) override;
  uint64_t ClockMs() override;
  // Answered by the handler; without one, or when it gives an answer the box's buttons cannot,
  // by the harmless answer (No for a question, OK for a notice). Every box is recorded.
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  // Without a handler the dialog is cancelled.
  std::optional<std::string> FileOpenDialog(const FileOpenRequest& request) override;
  // Without a handler the dialog is cancelled; a handler's answer other than IDOK counts as
  // IDCANCEL.
  int RunFontDialog(CDlgFont& dialog) override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  void SetCapture() override;
  void ReleaseCapture() override;
  // The front-end adds its observers here to print what changes.
  CMemoryControls& Controls() override { return m_controls; }

  void SetMessageBoxHandler(MessageBoxHandler handler) { m_onMessageBox = std::move(handler); }
  void SetFileDialogHandler(FileDialogHandler handler) { m_onFileDialog = std::move(handler); }
  void SetFontDialogHandler(FontDialogHandler handler) { m_onFontDialog = std::move(handler); }

  // Dispatches until done() holds (checked first and after every dispatch) or Quit is
  // called. True when done() ended it; false on Quit or when called from inside the handler.
  bool Run(const std::function<bool()>& done);
  // Ends the current Run after the message being handled, or the next Run at once.
  void Quit();

  const std::vector<ShownMessageBox>& MessageBoxes() const { return m_messageBoxes; }
  int WaitCursorDepth() const { return m_waitCursorDepth; }
  bool IsCaptured() const { return m_captured; }
  std::vector<TimerInfo> ArmedTimers() const { return m_timers.Armed(); }  // due: ClockMs scale

 private:
  bool DispatchOne();
  void WaitForWork();

  const std::chrono::steady_clock::time_point m_start;
  CPostQueue m_queue;
  CTimerTable m_timers;
  std::function<void(const WindowMessage&)> m_handler;
  MessageBoxHandler m_onMessageBox;
  FileDialogHandler m_onFileDialog;
  FontDialogHandler m_onFontDialog;
  std::vector<ShownMessageBox> m_messageBoxes;
  int m_waitCursorDepth = 0;
  bool m_captured = false;
  bool m_running = false;
  CMemoryControls m_controls;
};
