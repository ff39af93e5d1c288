// The reply dispatch: which request a reply answers, the replies still owed after a resend,
// and the accepted reply moving the engine on.
//
// Stop-and-wait holds only if every reply is matched to the send it answers. Download-mode
// replies name no request, and a request that timed out is sent again, so after a resend two
// replies may come. The ledger matches replies to sends oldest first; a reply that came before
// the request in hand had left the host answers an earlier one and is ignored. When the request
// in hand is answered while replies to its resends are still owed, the next request waits for
// them (or for DrainMs) so that none of them is taken for the next request's. A NAK of any
// send means the request goes again. A download-mode reply that no send owes means the engine
// and the handset no longer agree which request is which: the download cannot be trusted.
#include <algorithm>
#include <cstring>

#include "ResponseCheck.h"
#include "TarviselDlg.h"
#include "platform/Trace.h"

namespace {
// What a handset may take, beyond the line time, to answer a request still owed: a NOR block
// write takes tens of milliseconds.
constexpr uint32_t kDrainWorkMs = 1000;

constexpr uint8_t kDmErrorCodes[] = {0x13, 0x15, 0x18};
}  // namespace

void CTarviselDlg::NoteRequest(bool expectsReply) {
  if (m_ledger.Owed() > 0) {
    trace::Printf("engine: %zu owed replies written off before a new request\n", m_ledger.Owed());
    m_ledger.WriteOff();
  }
  if (expectsReply) m_ledger.OnSend(m_comm.GetTxEnd());
}

void CTarviselDlg::NoteResend() { m_ledger.OnSend(m_comm.GetTxEnd()); }

bool CTarviselDlg::AnswersDmRequestInHand() const {
  if (m_nState == DL_DOWNLOAD || m_nState == DL_TO_DM || m_comm.GetRxSize() == 0) return true;
  const uint8_t code = m_pResp[0];
  if (code == m_comm.GetLastCmd()) return true;
  for (uint8_t e : kDmErrorCodes) {
    if (code == e) return true;
  }
  return false;
}

long CTarviselDlg::OnRxPacket(uintptr_t, intptr_t) {
  m_pResp = m_comm.m_RxBuf.data();
  if (!m_command) {
    ValidateResponse();  // logged as any reply is; nothing waits for it
    return 1;
  }
  if (!AnswersDmRequestInHand()) {
    ValidateResponse();  // a reply to an earlier DM request: logged, not an answer
    return 1;
  }
  switch (m_ledger.OnReply(m_comm.GetRxBytesOut())) {
    case CReplyLedger::Match::TooEarly:
      OnEarlyReply();
      return 1;
    case CReplyLedger::Match::Nothing:
      OnUnmatchedReply();
      return 1;
    case CReplyLedger::Match::Answers:
      break;
  }
  const bool accepted = ValidateResponse();
  if (m_bDraining) {
    if (!accepted) {
      RevokeAnswer();
    } else if (m_ledger.Owed() == 0) {
      FinishDrain();
    }
    return 1;
  }
  if (!accepted) return 1;  // the reply timer decides
  m_services.KillTimer(m_nTimerId);
  m_nRetry = 0;
  if (m_ledger.Owed() > 0) {
    BeginDrain();
    return 1;
  }
  Advance();
  return 1;
}

bool CTarviselDlg::IsAck() const { return m_comm.GetRxSize() >= 1 && m_pResp[0] == kAckCode; }

void CTarviselDlg::OnEarlyReply() {
  // An answer to an earlier request. Another ACK of it changes nothing; anything else disowns
  // an answer already acted on. Before the first download-mode request has left, no such answer
  // has been taken: what comes then answers the switch to download mode (its reply again, or
  // an error naming it), and a DM reply owed by nobody is a stray.
  if (m_nState == DL_DOWNLOAD && m_nDlStep != STEP_START && !IsAck()) {
    ValidateResponse();
    EndOutOfStep();
    return;
  }
  QueueLog(4, "[RX]Reply ignored: it came before the request had gone out");
}

void CTarviselDlg::OnUnmatchedReply() {
  if (m_nState == DL_DOWNLOAD && m_bSettling && IsAck()) {
    QueueLog(4, "[RX]Reply ignored: a second ACK of the last request");
    return;
  }
  if (m_nState == DL_DOWNLOAD) {
    trace::Printf("engine: a reply with none owed (%u sent, %u replies, %u written off)\n", m_ledger.Sends(),
                  m_ledger.Replies(), m_ledger.WrittenOff());
    EndOutOfStep();
    return;
  }
  // DM and ToDM replies carry their command: one owed by nobody is a stray, logged and left.
  ValidateResponse();
  QueueLog(4, "[RX]Reply ignored: no request was waiting for it");
}

void CTarviselDlg::BeginDrain() {
  m_heldResp = RxPacket{};
  std::memcpy(m_heldResp.bytes.data(), m_comm.m_RxBuf.data(), kRxBufSize);
  m_heldResp.size = static_cast<uint16_t>(m_comm.GetRxSize());
  m_bDraining = true;
  const uint32_t ms = DrainMs();
  trace::Printf("engine: answered with %zu replies still owed: waiting up to %u ms\n", m_ledger.Owed(), ms);
  m_services.SetTimer(TM_DRAIN, ms);
}

void CTarviselDlg::FinishDrain() {
  StopDrainTimer();
  m_bDraining = false;
  m_comm.StoreResponse(m_heldResp);
  m_pResp = m_comm.m_RxBuf.data();
  Advance();
}

void CTarviselDlg::RevokeAnswer() {
  StopDrainTimer();
  m_bDraining = false;
  // The timer that guarded the request runs again: its expiry sends it once more.
  ArmReplyTimer(m_nTimerId, m_nTimerMs);
}

void CTarviselDlg::StopDrainTimer() { m_services.KillTimer(TM_DRAIN); }

uint32_t CTarviselDlg::DrainMs() const {
  // The owed send may still be on the wire when the first answer arrives: give the handset
  // twice its line time to take it in, then time to answer. An erase is answered when it is
  // done: as long as the first was allowed.
  const uint32_t baud = std::max<uint32_t>(m_comm.GetBaud(), 1);
  const uint64_t lineMs = (uint64_t{m_comm.GetLastFrameBytes()} * 10 * 1000 + baud - 1) / baud;
  const bool erase = m_nState == DL_DOWNLOAD && m_nDlStep == STEP_ERASE;
  return static_cast<uint32_t>(2 * lineMs) + (erase ? m_nTimerMs : kDrainWorkMs);
}

void CTarviselDlg::Advance() {
  switch (m_nState) {
    case DL_TO_DM:
      ToDmStep();
      break;
    case DL_INFO:
      ParseVersionReply();
      EndCommand(Outcome::Completed);
      break;
    case DL_VERSION:
      ParseVersionReply();
      if (!ConfirmVersion()) {
        m_services.Pause(2000);
        EnableButtons(true, true, true, true, false);
        EndCommand(Outcome::Declined);
        break;
      }
      m_nState = DL_DM_OFFLINE;
      m_nRetry = 0;
      m_comm.SendDmOfflineReq();
      NoteRequest();
      EnterPhase(EnginePhase::DmOffline);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case DL_DM_OFFLINE:
      m_services.Pause(3000);
      m_nState = DL_DLOAD_MODE;
      m_nRetry = 0;
      m_comm.SendDloadModeReq();
      NoteRequest();
      EnterPhase(EnginePhase::DownloadMode);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case DL_DLOAD_MODE:
      m_services.Pause(2000);
      m_nState = DL_DOWNLOAD;
      m_nDlStep = STEP_START;
      m_nRetry = 0;
      m_comm.SendDloadStartReq();
      NoteRequest();
      EnterPhase(EnginePhase::Module);
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case DL_DOWNLOAD:
      // The module's set-up requests are a few bytes each; block writes outlast the wait.
      if (m_nDlStep < STEP_ERASE) {
        Settle();
      } else {
        DloadStep();
      }
      break;
    default:
      break;
  }
}

void CTarviselDlg::StopAwaiting() {
  m_services.KillTimer(m_nTimerId);
  StopDrainTimer();
  m_bDraining = false;
  m_bSettling = false;
  m_bFinalDrain = false;
  m_ledger.Reset();
  m_eraseWait.reset();
}

void CTarviselDlg::EndOutOfStep() {
  StopAwaiting();
  AppendLog(kColorRed, kOutOfStepText);
  ShowNoReply();
  EndCommand(Outcome::OutOfStep);
}

void CTarviselDlg::FinishDownload() {
  m_bFinalDrain = false;
  trace::Printf("engine: download done: %u requests sent, %u replies, %u written off\n", m_ledger.Sends(),
                m_ledger.Replies(), m_ledger.WrittenOff());
  m_services.MessageBox("Downloading completed", "", MB_OK);
  EndCommand(Outcome::Completed);
}
