#pragma once
// The download engine's decisions, without I/O: which request goes next, which send a reply
// answers, when a reply is owed, written off or given up on, and how a command ends. It takes
// events (a command, a frame with when it came and what its check bytes say, a timer that ran
// out, an answer to a question) and leaves actions (EngineActions.h) for its driver to carry
// out: no window, no thread, no link, no clock of its own. Each event comes with the moment it
// is handled: the driver's clock and how many bytes the host had handed to the port, the same
// count the link stamps each reply with.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BlockRecord.h"
#include "EngineEvents.h"
#include "ReplyCheck.h"
#include "ReplyWait.h"
#include "engine/EngineActions.h"
#include "engine/EngineTypes.h"
#include "platform/WindowMessage.h"

namespace engine {

struct Moment {
  uint64_t ms = 0;        // the driver's clock
  uint64_t txHanded = 0;  // bytes handed to the port so far
};

// The link as the core finds it when a command starts.
struct LinkState {
  uint32_t baud = 57600;
  bool crc30 = true;  // DM frames open with their own flag
};

struct DownloadJob {
  int type = TYPE_NORMAL;
  int speedIdx = 0;
  uint32_t fileVer = 0;
  uint32_t startAddr = 0;
  uint32_t length = 0;
};

struct CoreView {
  int32_t state = -1;
  int32_t dlStep = -1;
  uint32_t startAddr = 0;
  uint32_t length = 0;
  int32_t blocks = 0;
  int32_t blockIdx = 0;
  uint32_t phoneRev = 0;
  bool toDmOnly = false;
  std::optional<EngineCommand> command;
};

// What an engine pause goes on with when it ends.
enum class AfterPause { None, ToDmStep, ToDmSequenceSent, ToDmSpeedSet, DownloadMode, ModuleStart, InfoVersion, Declined };

}  // namespace engine

class CDownloadCore {
 public:
  using Moment = engine::Moment;

  // --- commands ---
  // A command starts: one left running ends as stopped, nothing is owed, the check bytes of
  // the replies are learnt again.
  void Begin(const Moment& at, EngineCommand command, engine::LinkState link);
  // The command in progress ends (reported once; nothing when none is in progress).
  void End(Outcome outcome);
  // The port goes to this speed; whatever is owed at the old one is written off.
  void UseSpeed(const Moment& at, uint32_t baud);
  // After Begin(Download) and the window's checks of the image and its range.
  void StartDownload(const Moment& at, const engine::DownloadJob& job);
  void StartInfo(const Moment& at);
  void StartToDm(const Moment& at);
  // Stop: false (and a line in the log) while the flash is erased or written.
  bool Stop(const Moment& at);
  // The port broke or went away.
  void LineBroke(const Moment& at);
  // The link was stopped: nothing is awaited any more.
  void Idle();

  // --- events ---
  void OnFrame(const Moment& at, const RxPacket& frame);
  void OnTimer(const Moment& at, uint32_t id);
  void OnVersionAnswer(const Moment& at, bool go);
  void OnBlock(const Moment& at, const BlockRecord& block);
  void OnBlockUnreadable(const Moment& at, const std::string& why);

  // The actions left since the last call, in order.
  std::vector<engine::Action> TakeActions();
  bool HasActions() const { return !m_actions.empty(); }
  engine::CoreView View() const;
  bool InCommand() const { return m_command.has_value(); }

 private:
  friend class CTarviselDlgProbe;  // unit tests of single steps (tests/support only)

  void Emit(engine::Action action) { m_actions.push_back(std::move(action)); }
  void At(const Moment& at);
  void SetTimer(uint32_t id, uint32_t ms) { Emit(engine::ArmTimer{id, ms}); }
  void KillTimer(uint32_t id) { Emit(engine::KillTimer{id}); }
  void QueueLog(int32_t kind, std::string text) { Emit(engine::LogLine{true, kind, 0, std::move(text)}); }
  void AppendLog(uint32_t color, std::string text) { Emit(engine::LogLine{false, 0, color, std::move(text)}); }
  void ShowWaitCursor(bool on);
  void PauseThen(uint32_t ms, engine::AfterPause then);
  void OnPauseEnd();

  // --- requests (CoreRequests) ---
  void SendPayload(std::vector<uint8_t> payload, bool dload, std::string log);
  void SendVersionReq();
  void SendDmOfflineReq();
  void SendDloadModeReq();
  void SendDloadStartReq();
  void SendModuleCopyReq();
  void SendBaudRateReq(uint8_t speedIndex);
  void SendJumpReq();
  void SendFlashEraseReq(uint32_t start, uint32_t length);
  void SendToDmSequence(int step);
  void ResendLastPacket();

  // --- the current reply ---
  const uint8_t* Resp() const { return m_rxPacket.bytes.data(); }
  size_t RxSize() const { return m_rxPacket.PayloadSize(); }
  size_t RxFullSize() const { return m_rxPacket.size; }

  // --- response decoding ---
  bool ValidateResponse();
  void ParseVersionReply();
  void ConfirmVersion();
  void ClearPhoneInfo();
  void AfterVersionConfirmed();

  // --- download steps ---
  // Download mode: the module's start request, the first of its set-up.
  void StartModule();
  void DloadStep();
  void ArmReplyTimer(uint32_t id, uint32_t ms);
  void SetLinkSpeed(uint32_t baud);
  void ToggleSpeed();
  void ApplySelectedSpeed();
  void BeginProgramming();
  void ShowBlockProgress();
  void ShowElapsedTime();
  void SendVersionAndWait(uint32_t timerId, EnginePhase phase);
  void SendBlock();
  void EndDownloadOnBadBlock(uint32_t address, const std::string& why);
  void EnterPhase(EnginePhase phase);

  // --- time-outs and the ToDM sequence ---
  void ToDmStep();

  // --- requests and the replies they are owed ---
  void NoteRequest(bool expectsReply = true);
  void ResendRequest(ResendCause cause);
  uint64_t LastSendLineMs() const;
  CReplyWait::Work WorkInHand() const;
  uint64_t RxBytesGone() const;
  void NoteLineFaster();
  bool RepeatsLastAnswer() const;
  bool RepeatsSuspectAnswer() const;
  // The last answer was a refusal, and this is the same within the time a handset repeats one.
  bool RepeatsLastRefusal() const;
  bool AnswersDmRequestInHand() const;
  CReplyCheck::Verdict JudgeCheck(bool answer);
  void OnDamagedFrame(uint64_t nowMs);
  void OnAnswer(uint64_t nowMs);
  void Advance();
  void AdvanceWithHeldAnswer();
  void OnRefused();
  void GiveUpRequest(bool refused = false);
  void EraseAgain();
  void ArmQuietTimer();
  void OnWaitTimer();
  void NoteWaiting();
  void OnUnmatchedReply();
  void OnEarlyReply();
  bool IsAck() const;
  void Settle();
  void SendFinalJump();
  void EndOutOfStep();
  void EndNoReply();
  void EndNeverQuiet();
  void EndRefusedByHandset();
  void FinishDownload();
  void StopAwaiting();

  std::vector<engine::Action> m_actions;
  uint64_t m_nowMs = 0;
  uint64_t m_txEnd = 0;  // bytes handed to the port, the sends of this event counted

  // --- the job ---
  int m_nType = TYPE_NORMAL;
  int m_nSpeedIdx = 0;
  uint32_t m_nFileVer = 0;

  // --- the link as the core left it ---
  uint32_t m_baud = 57600;
  bool m_crc30 = true;
  uint8_t m_lastCmd = 0;
  std::vector<uint8_t> m_lastPayload;
  bool m_lastDload = false;
  size_t m_lastFrameBytes = 0;

  // --- engine fields ---
  int32_t m_nState = -1;  // none of the states before the first command
  int32_t m_nDlStep = -1;
  int32_t m_nToDmStep = 0;
  uint32_t m_nTimerId = TM_REPLY;
  uint32_t m_nTimerMs = 0;
  uint32_t m_dwStartAddr = 0;
  uint32_t m_dwLength = 0;
  int32_t m_nBlocks = 0;
  int32_t m_nBlockIdx = 0;
  uint8_t m_nRetry = 0;
  uint32_t m_nPhoneRev = 0;
  bool m_bToDmOnly = false;
  uint64_t m_tStart = 0;
  engine::AfterPause m_afterPause = engine::AfterPause::None;
  bool m_bAskingVersion = false;
  bool m_bReadingBlock = false;
  bool m_bWaitCursor = false;

  std::optional<EngineCommand> m_command;  // in progress: replies are awaited for it
  std::optional<EnginePhase> m_phase;      // of the command in progress
  CReplyWait m_wait;
  CReplyCheck m_plainCheck;  // plain DM replies
  CReplyCheck m_dloadCheck;  // download-mode replies
  uint64_t m_replyDueMs = 0;   // when the reply timer runs out
  uint64_t m_waitSinceMs = 0;  // a long wait began, for its notes
  RxPacket m_rxPacket;         // the reply being handled
  RxPacket m_heldResp;         // the answer held over a drain
  bool m_bCheckRevoked = false;  // the reply in hand took "other check" back
  bool m_bUnchecked = false;     // the reply in hand was taken without its check
  bool m_bUncheckedWork = false; // an erase, block or final jump was taken done on such a reply
  bool m_bLineFaster = false;    // this command's line answers sooner than its speed allows
  bool m_bFrameHeard = false;    // a frame came in this command
  uint64_t m_lastFrameRxMs = 0;  // when the last frame came, on the receiving side's clock
  bool m_bAnswerHeard = false;   // an answer was matched to a send in this command
  uint8_t m_lastAnswerCode = 0;  // its code, and when it came
  uint64_t m_lastAnswerRxMs = 0;
  bool m_bSendSplit = false;  // the block in hand was refused before it had all gone out
  int m_nEraseCycles = 0;     // erase-and-restart cycles of this download
};
