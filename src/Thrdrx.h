#pragma once
// The receive thread: waits for port events, reads what arrived, feeds the frame codec and posts
// WM_COMM_BREAK on a break or line error. It starts behind a gate and stops on its flags.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "ThrdBase.h"
#include "platform/AutoResetEvent.h"
#include "platform/WindowMessage.h"

class CThreadRX : public CThreadBase {
 public:
  static constexpr size_t kChunkSize = 512;

  CThreadRX();
  ~CThreadRX() override;

  // Opens the start gate with the window, the link and the log text queue.
  void Start(CMessageTarget* owner, CBssComm* comm, CQTextQ* textQ);
  void LogText(const std::string& text);

 protected:
  int Run() override;
  void ExitInstance() override;
  void OnSuspendRequest() override;

 private:
  void ReadAvailable();

  CAutoResetEvent m_evStart;
  CMessageTarget* m_pOwner = nullptr;
  CQTextQ* m_pTextQ = nullptr;
  CBssComm* m_pComm = nullptr;
  std::atomic<bool> m_bAbort{false};
  std::array<uint8_t, kChunkSize> m_RxChunk{};
};
