#pragma once
// Starts and stops a receive thread the way the window does, for tests of the link alone.
#include <chrono>
#include <memory>
#include <thread>

#include "Comm/LinkFlags.h"
#include "Thrdrx.h"

class CRxThreadRunner {
 public:
  void Start(CMessageTarget* owner, CBssComm* comm, CQTextQ* textQ) {
    m_thread = std::make_unique<CThreadRX>();
    m_thread->CreateThread(true, true);
    m_thread->ResumeThread();
    g_bRxRun = true;
    m_thread->Start(owner, comm, textQ);
  }
  // The stop procedure: clear the run flag, close the port, wait for the thread to finish.
  // Returns false when the thread did not end within the bound.
  bool Stop(CBssComm* comm, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    g_bRxRun = false;
    comm->Close();
    comm->ReleaseComm();
    const auto until = std::chrono::steady_clock::now() + bound;
    while (g_bRxAlive && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    const bool ended = !g_bRxAlive;
    if (ended) m_thread.reset();
    return ended;
  }
  CThreadRX* Thread() { return m_thread.get(); }
  ~CRxThreadRunner() {
    g_bRxRun = false;
  }

 private:
  std::unique_ptr<CThreadRX> m_thread;
};
