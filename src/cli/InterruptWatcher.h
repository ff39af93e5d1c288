#pragma once
// Ctrl-C for a run: the first press asks for a stop; a second one within 2 s (or a SIGTERM)
// aborts. SIGINT and SIGTERM are blocked in the calling thread, and so in every thread it
// starts afterwards, and read from a signalfd by a thread of the watcher's own. Start it on
// the main thread before any other thread exists.
#include <functional>
#include <thread>

class CInterruptWatcher {
 public:
  // Both callbacks run on the watcher's thread.
  CInterruptWatcher(std::function<void()> onStop, std::function<void()> onAbort);
  ~CInterruptWatcher();
  CInterruptWatcher(const CInterruptWatcher&) = delete;
  CInterruptWatcher& operator=(const CInterruptWatcher&) = delete;

  bool Start();

 private:
  void Watch();

  std::function<void()> m_onStop;
  std::function<void()> m_onAbort;
  int m_signalFd = -1;
  int m_quitFd = -1;  // eventfd: the watcher's end
  bool m_masked = false;
  std::thread m_thread;
};
