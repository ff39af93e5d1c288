#pragma once
// A worker thread that can be created suspended, resumed, and held still while the UI thread
// changes what it works on. Holding is cooperative: the worker calls ParkPoint() where it is
// safe to stop, and OnSuspendRequest() lets it leave a blocking wait to get there.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CThreadBase {
 public:
  CThreadBase() = default;
  virtual ~CThreadBase();
  CThreadBase(const CThreadBase&) = delete;
  CThreadBase& operator=(const CThreadBase&) = delete;

  // Starts the thread; when `suspended`, it waits for ResumeThread before InitInstance.
  // `raisePriority` asks for one step above normal (silently skipped without the privilege).
  bool CreateThread(bool suspended, bool raisePriority);
  void ResumeThread();
  // Returns once the thread is held at a park point (or has finished, or never started).
  void SuspendThread();
  uint32_t ThreadId() const;
  bool IsFinished() const;

 protected:
  virtual bool InitInstance() { return true; }
  virtual int Run() = 0;
  virtual void ExitInstance() {}
  virtual void OnSuspendRequest() {}
  void ParkPoint();
  // Ends the thread's life: releases a thread that was never resumed and joins it.
  // Derived classes call it from their destructor, before their members go.
  void Join();

 private:
  void Main(bool raisePriority);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  int m_nSuspendCount = 0;
  bool m_bParked = false;
  bool m_bFinished = false;
  bool m_bQuit = false;
  uint32_t m_nThreadId = 0;
  std::thread m_thread;
};

// Holds a worker still for as long as it lives (a speed change replaces the port under it),
// and lets it go again however the scope is left.
class CThreadHold {
 public:
  explicit CThreadHold(CThreadBase* thread) : m_thread(thread) {
    if (m_thread) m_thread->SuspendThread();
  }
  ~CThreadHold() {
    if (m_thread) m_thread->ResumeThread();
  }
  CThreadHold(const CThreadHold&) = delete;
  CThreadHold& operator=(const CThreadHold&) = delete;

 private:
  CThreadBase* m_thread;
};
