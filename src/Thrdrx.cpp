#include "Thrdrx.h"

#include <cassert>
#include <chrono>
#include <thread>

#include "Comm/LinkFlags.h"
#include "platform/Trace.h"

CThreadRX::CThreadRX() { g_bRxAlive = false; }

CThreadRX::~CThreadRX() {
  // A thread whose gate never opened must not wait for ever.
  m_bAbort = true;
  m_evStart.Set();
  Join();
}

void CThreadRX::Start(CMessageTarget* owner, CBssComm* comm, CQTextQ* textQ) {
  m_pOwner = owner;
  m_pComm = comm;
  m_pTextQ = textQ;
  m_evStart.Set();
}

void CThreadRX::LogText(const std::string& text) {
  if (text.empty() || !m_pTextQ || !m_pOwner) return;
  if (m_pTextQ->Put(4, text)) m_pOwner->PostMessage(WM_LOG_TEXT, 0, 0);
}

void CThreadRX::OnSuspendRequest() {
  if (m_pComm) m_pComm->WakeReceiver();
}

int CThreadRX::Run() {
  m_evStart.Wait();
  if (m_bAbort) return 0;
  assert(m_pComm && m_pOwner && m_pTextQ);
  g_bRxAlive = true;

  if (!m_pComm->SetCommMask(EV_RXCHAR | EV_RXFLAG | EV_BREAK | EV_ERR)) {
    LogText("\nFail to set Comm mask\n\n");
    return 0;
  }
  while (g_bRxRun && !g_bCommOpen) {
    ParkPoint();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (;;) {
    ParkPoint();
    if (!(g_bRxRun && g_bCommOpen)) break;
    uint32_t events = 0;
    m_pComm->WaitCommEvent(events);
    if (events & EV_RXCHAR) {
      ReadBurst();
    } else if (events & (EV_BREAK | EV_ERR)) {
      m_pOwner->PostMessage(WM_COMM_BREAK, 0, 0);
    }
  }
  trace::Write("\nOut of While");
  return 0;
}

// Reads until a pause of 5 ms finds nothing more; a new burst always starts a new frame.
void CThreadRX::ReadBurst() {
  m_pComm->m_nRxCount = 0;
  bool parseOk = true;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kBurstPauseMs));
    ParkPoint();
    const size_t n = m_pComm->ReadComm(m_RxChunk.data(), m_RxChunk.size());
    if (n == 0) break;
    if (parseOk) parseOk = m_pComm->ParseRxData(m_RxChunk.data(), static_cast<int>(n));
  }
}

void CThreadRX::ExitInstance() {
  std::this_thread::yield();
  LogText("END__ RX\n");
  g_bRxAlive = false;
}
