// The download's steps: the module's set-up, the erase, the block writes and the final jump,
// the port's speed, and the progress of programming.
#include <algorithm>
#include <cstdio>

#include "engine/DownloadCore.h"
#include "platform/MessageBox.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

using namespace engine;

namespace {
constexpr uint32_t kBlockSize = 4096;
// After the final jump's ACK: a handset running one reply behind the engine answers the jump
// within its ordinary reply time, well inside a second.
constexpr uint32_t kFinalDrainMs = 1000;

std::string Format(const char* fmt, unsigned long a) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, fmt, a);
  return n < 0 ? std::string() : std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

bool IsDmPhaseType(int type) {
  return type == TYPE_NORMAL || type == TYPE_FONT || type == TYPE_CHANGE_NORMAL;
}
}  // namespace

void CDownloadCore::StartDownload(const Moment& at, const DownloadJob& job) {
  At(at);
  m_nType = job.type;
  m_nSpeedIdx = job.speedIdx;
  m_nFileVer = job.fileVer;
  m_dwStartAddr = job.startAddr;
  m_dwLength = job.length;
  m_nBlockIdx = 0;
  m_nRetry = 0;
  m_nPhoneRev = 0;
  if (IsDmPhaseType(m_nType)) {
    m_nState = DL_VERSION;
    ClearPhoneInfo();
    SendVersionAndWait(TM_RUN_VERSION, EnginePhase::Version);
  } else {
    StartModule();
  }
}

void CDownloadCore::StartModule() {
  m_nState = DL_DOWNLOAD;
  m_nDlStep = STEP_START;
  m_nRetry = 0;
  SendDloadStartReq();
  NoteRequest();
  EnterPhase(EnginePhase::Module);
  ArmReplyTimer(TM_REPLY, 3000);
}

void CDownloadCore::DloadStep() {
  switch (m_nDlStep) {
    case STEP_START:
      m_nDlStep = STEP_COPY;
      SendModuleCopyReq();
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 5000);
      break;
    case STEP_COPY:
      m_nDlStep = STEP_BAUD;
      SendBaudRateReq(static_cast<uint8_t>(m_nSpeedIdx));
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case STEP_BAUD:
      m_nDlStep = STEP_JUMP;
      SendJumpReq();
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case STEP_JUMP:
      ApplySelectedSpeed();
      m_nDlStep = STEP_RESTART;
      SendDloadStartReq();
      NoteRequest();
      ArmReplyTimer(TM_REPLY, 3000);
      break;
    case STEP_RESTART:
      m_nBlocks = static_cast<int32_t>(m_dwLength / kBlockSize);
      m_nDlStep = STEP_ERASE;
      SendFlashEraseReq(m_dwStartAddr, m_dwLength);
      NoteRequest();
      EnterPhase(EnginePhase::Erase);
      AppendLog(kColorBlue, Tr("잠시 기다리십시요.."));
      ShowWaitCursor(true);
      ArmReplyTimer(TM_REPLY, 100000);
      break;
    case STEP_ERASE:
      ShowWaitCursor(false);
      BeginProgramming();
      m_nDlStep = STEP_WRITE;
      SendBlock();
      break;
    case STEP_WRITE:
      ShowBlockProgress();
      if (m_nBlockIdx == m_nBlocks) {
        ShowElapsedTime();
        Settle();
      } else {
        SendBlock();
      }
      break;
    case STEP_DONE:
      // Completed only if no reply comes after this one: one would mean the engine had been
      // taking each reply for the request after the one it answered.
      if (m_wait.GetState() != CReplyWait::State::Listen) {
        m_wait.BeginListen();
        SetTimer(TM_WAIT, kFinalDrainMs);
      }
      break;
    default:
      break;
  }
}

void CDownloadCore::Settle() {
  m_wait.BeginSettle();
  SetTimer(TM_WAIT, kSecondReplyMs);
}

void CDownloadCore::SendFinalJump() {
  m_nDlStep = STEP_DONE;
  m_nRetry = 0;
  SendJumpReq();
  NoteRequest();
  EnterPhase(EnginePhase::Jump);
  ArmReplyTimer(TM_REPLY, 5000);
}

void CDownloadCore::SendBlock() {
  // The driver reads it from the image and hands it back (OnBlock) before anything else.
  m_bReadingBlock = true;
  Emit(ReadBlock{m_dwStartAddr, static_cast<uint32_t>(m_nBlockIdx), m_nType == TYPE_FONT});
}

void CDownloadCore::OnBlock(const Moment& at, const BlockRecord& record) {
  At(at);
  if (!m_bReadingBlock) return;
  m_bReadingBlock = false;
  BlockRecord p;
  p.SetCommand(0xDD);
  p.SetAddress(record.Address());
  p.SetLength(record.Length());
  std::copy_n(record.Data(), std::min<size_t>(record.Length(), kBlockDataSize), p.Data());
  SendPayload(std::vector<uint8_t>(p.data(), p.data() + BlockRecord::size()), true, std::string());
  NoteRequest();
  ++m_nBlockIdx;
  ArmReplyTimer(TM_BLOCK, 3000);
}

void CDownloadCore::OnBlockUnreadable(const Moment& at, const std::string& why) {
  At(at);
  if (!m_bReadingBlock) return;
  m_bReadingBlock = false;
  // A block that is not sent would be taken as written: the download ends here instead.
  EndDownloadOnBadBlock(m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx) * kBlockSize, why);
}

void CDownloadCore::EndDownloadOnBadBlock(uint32_t address, const std::string& why) {
  KillTimer(m_nTimerId);
  // Queued behind the lines still waiting ("Flash programming 시작" when the first block fails).
  QueueLog(3, Format(Tr("Image read error ADDRESS: 0x%07lxh: download stopped"), address) + " (" + why + ")");
  Emit(Notice{Format(Tr("The block at flash address 0x%07lX could not be read from the image file.\n"), address) +
                  why + Tr("\nThe download was stopped; the handset's flash is incomplete."),
              MB_OK | MB_ICONEXCLAMATION});
  m_nState = -1;
  m_nDlStep = STEP_START;
  End(Outcome::ReadError);
}

void CDownloadCore::SetLinkSpeed(uint32_t baud) {
  if (m_baud == baud) return;
  // Nothing sent at the old speed can be answered in a way we could read at the new one.
  m_wait.WriteOff();
  m_baud = baud;
  Emit(ChangeSpeed{baud, false});
}

void CDownloadCore::ToggleSpeed() {
  m_wait.WriteOff();  // nothing sent at the old speed can be read at the new one
  m_crc30 = !m_crc30;
  const uint32_t baud = m_crc30 ? 57600 : 115200;
  Emit(ChangeSpeed{baud, true});
  m_baud = baud;
}

void CDownloadCore::ApplySelectedSpeed() {
  if (m_nSpeedIdx == 0) SetLinkSpeed(57600);
  else if (m_nSpeedIdx == 1) SetLinkSpeed(115200);
}

void CDownloadCore::BeginProgramming() {
  QueueLog(4, Tr("Flash programming 시작"));
  m_tStart = m_nowMs;
  EnterPhase(EnginePhase::Programming);
  Emit(Progress{BlockProgress{0, m_nBlocks, m_dwStartAddr, 0}});
}

void CDownloadCore::ShowBlockProgress() {
  const uint32_t address = m_dwStartAddr + static_cast<uint32_t>(m_nBlockIdx - 1) * kBlockSize;
  Emit(Progress{BlockProgress{m_nBlockIdx, m_nBlocks, address, static_cast<uint64_t>(m_nBlockIdx) * kBlockSize}});
}

void CDownloadCore::ShowElapsedTime() { Emit(Programmed{m_nowMs - m_tStart}); }
