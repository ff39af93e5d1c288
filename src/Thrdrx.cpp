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
      ReadAvailable();
    } else if (events & EV_ERR) {
      m_pOwner->PostMessage(WM_COMM_BREAK, 0, 0);
    } else if (events & EV_BREAK) {
      trace::Write("rx: a break on the line: noise\n");  // the frame it spoils is sent again
    }
  }
  trace::Write("\nOut of While");
  return 0;
}

// Reads what the port holds and hands it to the frame assembly at once: a reply whose closing
// flag has arrived goes to the window without waiting for more. The assembly keeps a frame
// that has begun across reads, so a reply cut by the adapter is joined again.
void CThreadRX::ReadAvailable() {
  for (;;) {
    ParkPoint();
    const size_t n = m_pComm->ReadComm(m_RxChunk.data(), m_RxChunk.size());
    if (n == 0) break;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    m_pComm->ParseRxData(m_RxChunk.data(), static_cast<int>(n),
                         static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
  }
}

void CThreadRX::ExitInstance() {
  std::this_thread::yield();
  trace::Write("END__ RX\n");
  g_bRxAlive = false;
}
