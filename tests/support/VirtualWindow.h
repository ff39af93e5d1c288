#pragma once
// The window's services on a virtual clock, for tests: a time-out of minutes runs in
// microseconds, and every event lands in a journal with its virtual time.
//
// Time rules. The clock (ms, from 0) moves only inside the Run functions and Pause. A Run
// function first hands every posted message to the handler, in order; only when the queue is
// empty does it take the earliest due timer, moving the clock forward to its due time when
// needed, and hand out its WM_TIMER at once. So a timer killed before that moment never
// fires again; a WM_TIMER that someone posts by hand is delivered like any message. Expiries
// keep the timer's schedule; those missed during a pause merge into one delivered after it.
// Pause moves the clock at once and dispatches nothing.
//
// Busy probes hold the clock: while any probe reports work in flight (bytes on their way to
// an in-process handset, say), neither a Run function nor Pause lets virtual time pass; they
// wait in real time for the work to settle, up to a bound, then record a failure.
//
// Scripts. Message boxes, file dialogs and font dialogs are answered from queues the test
// fills beforehand. A message box matches its script entry when its text contains the
// entry's text (an empty entry text matches any box). A box or dialog that finds no entry,
// or no matching one, records a failure and gets the harmless answer: No (OK for a notice),
// Cancel, no file. Nothing here throws or aborts; tests assert Failures() is empty.
//
// Threads: PostMessage and Now may be called from any thread; everything else belongs to the
// test's thread, which plays the window's thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/MemoryControls.h"
#include "platform/PostQueue.h"
#include "platform/TimerTable.h"
#include "support/VirtualJournal.h"
#include "platform/WindowServices.h"

class CVirtualWindow : public CWindowServices {
 public:
  CVirtualWindow();
  CVirtualWindow(const CVirtualWindow&) = delete;
  CVirtualWindow& operator=(const CVirtualWindow&) = delete;

  // CWindowServices
  using CWindowServices::PostMessage;
  void PostMessage(const WindowMessage& msg) override;
  void SetHandler(std::function<void(const WindowMessage&)> handler) override;
  void SetTimer(uint32_t id, uint32_t periodMs) override;
  void KillTimer(uint32_t id) override;
  void Pause(uint32_t ms) override;
  uint64_t ClockMs() override { return Now(); }
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  std::optional<std::string> FileOpenDialog(const FileOpenRequest& request) override;
  int RunFontDialog(CDlgFont& dialog) override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  void SetCapture() override;
  void ReleaseCapture() override;
  CMemoryControls& Controls() override { return m_controls; }

  // Running. Each returns false when it could not finish: a busy probe stayed busy past its
  // bound, the dispatch limit was hit, or it was called from inside the handler.
  //
  // Dispatches and fires timers until nothing is queued and no timer comes due within
  // maxVirtualMs; the clock stays at the last event. True only when then no timer is armed.
  bool RunUntilIdle(uint64_t maxVirtualMs);
  // Dispatches and fires timers due up to Now() + virtualMs, then leaves the clock there.
  bool RunFor(uint64_t virtualMs);
  // Runs until the predicate holds (checked before the first and after each dispatch); the
  // clock goes no further than Now() + maxVirtualMs. True when the predicate held.
  bool RunUntil(const std::function<bool()>& predicate, uint64_t maxVirtualMs);
  uint64_t Now() const { return m_now.load(); }

  // Work in flight outside the window's thread; see the top of this file.
  void AddBusyProbe(std::function<bool()> busy);
  void SetBusyTimeout(std::chrono::milliseconds bound) { m_busyTimeout = bound; }
  // Called as each pause begins, with its length (what another thread does meanwhile: an
  // interrupt, say).
  void SetPauseHook(std::function<void(uint32_t ms)> hook) { m_pauseHook = std::move(hook); }
  // Dispatches one Run call may make before it gives up (a handler that feeds itself).
  void SetDispatchLimit(uint64_t limit) { m_dispatchLimit = limit; }
  // Off: timer calls, pauses, dispatches and control changes go unrecorded (Journal and the
  // lists of them stay empty); message boxes, dialogs and failures are recorded still. For
  // runs by the thousand that look only at the end.
  void SetRecording(bool on) { m_recording = on; }

  // Scripts, answered in the order given.
  void ExpectMessageBox(const std::string& textOrSubstring, int answer);
  void ExpectFileDialog(std::optional<std::string> path);
  void ExpectFontDialog(FontDialogScript script);
  // Script entries nobody asked for yet, described.
  std::vector<std::string> UnusedScripts() const;

  // What happened.
  const std::vector<JournalEntry>& Journal() const { return m_journal; }
  std::vector<JournalEntry> JournalOf(JournalKind kind) const;
  std::string JournalText() const;  // one line per entry, for failure output
  const std::vector<std::string>& Failures() const { return m_failures; }
  const std::vector<DispatchRecord>& Dispatched() const { return m_dispatched; }
  const std::vector<TimerCallRecord>& TimerCalls() const { return m_timerCalls; }
  const std::vector<PauseRecord>& Pauses() const { return m_pauses; }
  const std::vector<MessageBoxRecord>& MessageBoxes() const { return m_messageBoxes; }
  const std::vector<FileDialogRecord>& FileDialogs() const { return m_fileDialogs; }
  const std::vector<FontDialogRecord>& FontDialogs() const { return m_fontDialogs; }
  const std::vector<ControlRecord>& ControlChanges() const { return m_controlChanges; }
  std::vector<TimerInfo> ArmedTimers() const { return m_timers.Armed(); }
  size_t QueuedMessages() const { return m_queue.Size(); }
  int WaitCursorDepth() const { return m_waitCursorDepth; }
  // The platform's capture is not nested: one release ends any number of captures.
  bool IsCaptured() const { return m_captured; }

 private:
  enum class Step { Dispatched, Idle, Stalled };
  class RunScope;

  Step RunStep(uint64_t limitMs);
  bool Settle(bool endOnMessage);
  bool AnyBusy() const;
  void Dispatch(const WindowMessage& msg);
  uint64_t LimitFrom(uint64_t spanMs) const;
  void Record(JournalKind kind, std::string detail);
  void Fail(std::string what);

  struct MessageBoxScript {
    std::string text;
    int answer = 0;
  };

  CPostQueue m_queue;
  CTimerTable m_timers;
  std::atomic<uint64_t> m_now{0};
  std::function<void(const WindowMessage&)> m_handler;
  std::vector<std::function<bool()>> m_probes;
  std::function<void(uint32_t)> m_pauseHook;
  std::chrono::milliseconds m_busyTimeout{10'000};
  uint64_t m_dispatchLimit = 1'000'000;
  bool m_recording = true;
  uint64_t m_dispatchesThisRun = 0;
  bool m_running = false;
  int m_waitCursorDepth = 0;
  bool m_captured = false;

  std::deque<MessageBoxScript> m_boxScripts;
  std::deque<std::optional<std::string>> m_fileScripts;
  std::deque<FontDialogScript> m_fontScripts;

  std::vector<JournalEntry> m_journal;
  std::vector<std::string> m_failures;
  std::vector<DispatchRecord> m_dispatched;
  std::vector<TimerCallRecord> m_timerCalls;
  std::vector<PauseRecord> m_pauses;
  std::vector<MessageBoxRecord> m_messageBoxes;
  std::vector<FileDialogRecord> m_fileDialogs;
  std::vector<FontDialogRecord> m_fontDialogs;
  std::vector<ControlRecord> m_controlChanges;

  CMemoryControls m_controls;  // last: its observer writes into the journal above
};
