#pragma once
// The window's services on the Qt GUI thread.
//
// Messages that any thread posts wait in our own queue; a queued call wakes the GUI thread,
// which hands them to the window one per event-loop turn (so painting goes on between them),
// then the window timers that have come due. Nothing is handed out while a handler runs: a
// message box or a pause inside a handler lets Qt paint, but the window's messages wait until
// the handler has returned, as they would on the original platform's single message loop.
//
// A pause runs a nested event loop that excludes user input: the window keeps painting, clicks
// and keys wait, posted messages and timers wait.
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/PostQueue.h"
#include "platform/TimerTable.h"
#include "platform/WindowServices.h"

class CQtWindowServices : public QObject, public CWindowServices {
  Q_OBJECT

 public:
  CQtWindowServices();
  ~CQtWindowServices() override;

  // The widget that owns the controls and parents the dialogs. Set before the window starts.
  void AttachWindow(QWidget* window, CDialogControls* controls);
  // Called after every handled message, for the owner to see whether the window closed.
  void SetAfterDispatch(std::function<void()> afterDispatch) { m_afterDispatch = std::move(afterDispatch); }

  // Runs fn as the window's handler would run: now when nothing else is being handled, else
  // it fails (returns false) and the caller posts instead.
  bool RunHandler(const std::function<void()>& fn);
  // A message from the window itself (a click, a selection change, a close request): handled at
  // once when the window is idle, else queued behind what is being handled.
  void Send(const WindowMessage& msg);
  void SendCommand(int id, intptr_t notification);

  // CWindowServices
  using CWindowServices::PostMessage;
  void PostMessage(const WindowMessage& msg) override;
  void SetHandler(std::function<void(const WindowMessage&)> handler) override;
  void SetTimer(uint32_t id, uint32_t periodMs) override;
  void KillTimer(uint32_t id) override;
  void Pause(uint32_t ms) override;
  uint64_t ClockMs() override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  std::optional<std::string> FileOpenDialog(const FileOpenRequest& request) override;
  int RunFontDialog(CDlgFont& dialog) override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  void SetCapture() override;
  void ReleaseCapture() override;
  CDialogControls& Controls() override;

  // Stop reaches the engine even while it pauses: during a pause every other input waits, but
  // the Stop button stays clickable, tells the engine at once (onStop) and its click is handled
  // when the pause is over.
  void SetStopButton(QWidget* button) { m_stopButton = button; }
  void SetStopDuringPause(std::function<void()> onStop) { m_onStopDuringPause = std::move(onStop); }
  void StopDuringPause() {
    if (m_onStopDuringPause) m_onStopDuringPause();
  }

  // The next Open dialog is answered with path, without showing it: a recent image chosen from
  // Open's menu goes through the engine's own Open.
  void AnswerNextFileOpen(std::string path) { m_nextFileOpen = std::move(path); }
  // Told of every image the Open dialog gave the engine.
  void SetOnFileChosen(std::function<void(const std::string&)> onChosen) { m_onFileChosen = std::move(onChosen); }

  bool IsPaused() const { return m_pauseDepth > 0; }
  bool IsHandling() const { return m_handlerDepth > 0; }
  int WaitCursorDepth() const { return m_waitCursorDepth; }
  bool IsCaptured() const { return m_captured; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void DispatchNext();
  std::optional<std::string> ShowFileOpenDialog(const FileOpenRequest& request);
  void ScheduleDispatch();
  void ScheduleTimerWake();

  const std::chrono::steady_clock::time_point m_start;
  CPostQueue m_queue;
  CTimerTable m_timers;
  QTimer m_timerWake;
  std::atomic<bool> m_dispatchScheduled{false};
  std::function<void(const WindowMessage&)> m_handler;
  std::function<void()> m_afterDispatch;
  QPointer<QWidget> m_window;
  QPointer<QWidget> m_stopButton;
  struct HeldInput {
    QPointer<QObject> receiver;
    std::unique_ptr<QEvent> event;
  };
  std::vector<HeldInput> m_heldInput;  // input that came during a pause
  std::function<void()> m_onStopDuringPause;
  std::optional<std::string> m_nextFileOpen;
  std::function<void(const std::string&)> m_onFileChosen;
  CDialogControls* m_controls = nullptr;
  int m_handlerDepth = 0;
  int m_pauseDepth = 0;
  int m_waitCursorDepth = 0;
  bool m_captured = false;
};
