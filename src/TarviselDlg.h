#pragma once
// The main window: owns the link, the image file and the log text queue, and hosts the download
// engine. It reaches the platform only through CWindowServices, and reports what happened to
// its front-end through CEngineEvents, so it runs the same under the window, the command line
// and the tests.
//
// How a reply travels: the receive thread (Thrdrx) reads the port and hands the bytes to the
// link's frame assembly (Comm/BssReceive), which posts each decoded reply as WM_RX_PACKET with
// its length; the window services deliver it on the window's thread to Dispatch, and the reply
// dispatch (TarviselDlgReplies) matches it to the request it answers, judges it
// (ResponseCheck) and moves the engine on (TarviselDlgEngine), which sends the next request
// through the link (Comm/BssRequests, Comm/BssFraming).
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "BlockRecord.h"
#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "ControlIds.h"
#include "DloadFile.h"
#include "EngineEvents.h"
#include "ReplyCheck.h"
#include "ReplyWait.h"
#include "Thrdrx.h"
#include "platform/Translate.h"
#include "platform/WindowServices.h"

// Engine states, download steps and reply timer ids.
enum : int32_t { DL_INFO = 0, DL_TO_DM = 1, DL_VERSION = 2, DL_DM_OFFLINE = 3, DL_DLOAD_MODE = 4, DL_DOWNLOAD = 5 };
enum : int32_t {
  STEP_START = 0, STEP_COPY = 1, STEP_BAUD = 2, STEP_JUMP = 3,
  STEP_RESTART = 4, STEP_ERASE = 5, STEP_WRITE = 6, STEP_DONE = 7
};
enum : uint32_t { TM_REPLY = 0, TM_RUN_VERSION = 1, TM_BLOCK = 2, TM_VERSION = 3 };
// The engine's other waits (CReplyWait): for replies still owed before the next request, before
// a short download-mode request for a second ACK of the last one, and after the final jump for
// a reply that must not come.
constexpr uint32_t TM_WAIT = 4;
// A line in the log now and then while a long wait goes on.
constexpr uint32_t TM_WAIT_NOTE = 5;
// A handset that answers a request twice does so within milliseconds: the engine's short waits
// in which a second reply can only be a duplicate (or a sign of replies out of step).
constexpr uint32_t kSecondReplyMs = 200;
// Download types: the index in the type list.
enum : int32_t { TYPE_NORMAL = 0, TYPE_EMERGENCY = 1, TYPE_FONT = 2, TYPE_CHANGE_EMERGENCY = 3, TYPE_CHANGE_NORMAL = 4 };

// Log colours, stored blue-green-red.
constexpr uint32_t kColorBlue = 0xFF0000;
constexpr uint32_t kColorRed = 0x0000FF;
constexpr uint32_t kColorBlack = 0x000000;
uint32_t ColorOfLogKind(int32_t kind);

// The line of a reply that could not be read.
inline constexpr const char* kBadFrameText = TrLater("\n[RX]Bad CRC in response packet\n");

// The red line of a download whose replies no longer match its requests.
inline constexpr const char* kOutOfStepText =
    TrLater("Replies out of step with the requests: the download cannot be trusted. Run it again.");

// What tests and tools may read of the window and its engine; a copy, taken on its thread.
struct EngineView {
  int32_t state = -1;
  int32_t dlStep = -1;
  uint32_t startAddr = 0;
  uint32_t length = 0;
  int32_t blocks = 0;
  int32_t blockIdx = 0;
  uint32_t phoneRev = 0;
  uint32_t fileVer = 0;
  bool toDmOnly = false;
  bool linkRunning = false;  // the receive thread exists
  std::optional<EngineCommand> command;  // the command in progress
  // The window's data-exchange values.
  std::string binPath;
  uint32_t size = 0;
  int type = -1;
  int portIdx = -1;
  int speedIdx = -1;
  std::string status;
  std::string swVer;
  std::string compiled;
  std::string pcbVer;
};

// The wait cursor and the mouse capture of a long wait (the erase): both end when it goes,
// however the wait ends.
class CWaitCursorCapture {
 public:
  explicit CWaitCursorCapture(CWindowServices& services);
  ~CWaitCursorCapture();
  CWaitCursorCapture(const CWaitCursorCapture&) = delete;
  CWaitCursorCapture& operator=(const CWaitCursorCapture&) = delete;

 private:
  CWindowServices& m_services;
};

class CTarviselDlg {
 public:
  // A window over a POSIX tty link. One per process: a second is refused (std::logic_error),
  // since the link's process-wide flags belong to the first.
  CTarviselDlg(CWindowServices& services, CEngineEvents* events = nullptr);
  // A window whose link runs over the given device.
  CTarviselDlg(CWindowServices& services, CEngineEvents* events, std::unique_ptr<CSerialDevice> device);
  ~CTarviselDlg();
  CTarviselDlg(const CTarviselDlg&) = delete;
  CTarviselDlg& operator=(const CTarviselDlg&) = delete;

  // The window's message dispatch; the services call it for every message.
  void Dispatch(const WindowMessage& msg);
  // A button click or a selection change of a control.
  void OnCommand(int id, intptr_t notification);

  // The window's initialisation: settings read, controls set up, link started.
  bool OnInitDialog();
  // Open, with the file dialog the services show.
  void OnOpen();
  // What Open does with the file chosen: checks it and shows its size and version.
  void OpenImage(const std::string& path);
  // Shows an image opened into DloadFile() (the screenshots).
  void ShowFileInfo();
  void EnableButtons(bool open, bool run, bool toDm, bool info, bool stop);
  // Data exchange: false pushes the values to the controls, true pulls them back.
  void UpdateData(bool save);

  bool IsClosed() const { return m_bClosed; }
  // The command line reads the settings but never writes them.
  void SetSettingsWritable(bool writable) { m_bWriteSettings = writable; }
  // Opens this device whatever port is selected (a front-end's --device).
  void SetDevicePath(const std::string& path) { m_comm.SetDevicePath(path); }

  // A harness that reads the device and hands its bytes to the link's frame assembly
  // (Comm().ParseRxData) on the window's thread stands in for the receive thread: none is started.
  void SetReceiverStandIn(bool standIn) { m_bReceiverStandIn = standIn; }

  EngineView View() const;
  // Any thread: Stop (or an interrupt) is on its way. A pause under way sends nothing more when
  // it ends; the Stop itself follows as the message that carries it.
  void AskStop() { m_bStopAsked = true; }
  CDloadFile& DloadFile() { return m_dloadFile; }
  // The link: for a harness that stands in for the receive thread and feeds its frame assembly.
  CBssComm& Comm() { return m_comm; }
  CWindowServices& Services() { return m_services; }

  // --- log view and control state ---
  void AppendLog(uint32_t color, const std::string& text);
  void QueueLog(int32_t kind, const std::string& text);
  long OnLogText(uintptr_t wParam, intptr_t lParam);
  // Shows the text bar (flash programming runs) or the plain one.
  void ShowProgramming(bool programming);
  CQTextQ& TextQ() { return m_textQ; }

 private:
  // Unit tests of single steps reach the members through it (tests/support only).
  friend class CTarviselDlgProbe;

  // --- response decoding ---
  // Judges the current reply by the table of the engine state and logs its line.
  bool ValidateResponse();
  void ParseVersionReply();
  bool ConfirmVersion();
  void ClearPhoneInfo();

  // --- the main window's own commands ---
  void OnSelchangePort();
  void OnSelchangeSpeed();
  void OnSelchangeType();
  void OnClose();
  void ClearFileInfo();

  // --- download engine ---
  void OnRun();
  long OnRxPacket(uintptr_t wParam, intptr_t lParam);
  void PrepareRun();
  bool SetupRange();
  void DloadStep();
  void ArmReplyTimer(uint32_t id, uint32_t ms);
  void SetLinkSpeed(uint32_t baud);
  void ApplySelectedSpeed();
  void BeginProgramming();
  void ShowBlockProgress();
  void ShowElapsedTime();
  bool StartDownloader();
  void StopDownloader();
  void EnsureLink();
  long OnCommBreak(uintptr_t wParam, intptr_t lParam);

  // --- time-outs, resends and the ToDM sequence ---
  void OnTimer(uint32_t id);
  void ShowNoReply();
  void ToDmStep();

  // --- Info, ToDM and Stop ---
  void OnInfo();
  void OnToDm();
  void OnStop();

  // Refuses, before anything is sent, a range that cannot be downloaded whole.
  bool CheckRange();
  // Reads and sends block m_nBlockIdx; false (and the download ended) when it can't be read.
  bool SendBlock();
  void EndDownloadOnBadBlock(uint32_t address);

  // --- commands and their ends ---
  // A command starts: nothing owed, the replies' check bytes to be learnt again.
  void BeginCommand(EngineCommand command);
  // The command in progress ends (reported once; nothing when none is in progress).
  void EndCommand(Outcome outcome);
  void EnterPhase(EnginePhase phase);

  // --- requests and the replies they are owed (TarviselDlgReplies) ---
  // Bookkeeping after each new request (expecting a reply or not).
  void NoteRequest(bool expectsReply = true);
  // The request in hand goes again.
  void ResendRequest(ResendCause cause);
  // The line time of the frame just sent, at the port's speed.
  uint64_t LastSendLineMs() const;
  CReplyWait::Work WorkInHand() const;
  // How much of what the host sent had gone when the reply in hand came.
  uint64_t RxBytesGone() const;
  void NoteLineFaster();
  // The reply in hand is the last answer again, in a drain, too soon to be another's.
  bool RepeatsLastAnswer() const;
  // In the listen after the first answer that followed a write-off: the same ACK again within
  // the time a handset repeats one.
  bool RepeatsSuspectAnswer() const;
  // False when the reply is for an earlier DM request (it names another command).
  bool AnswersDmRequestInHand() const;
  // Whether the current reply can be read, by its check bytes: as the answer to a request in
  // hand (which may teach the check) or as a frame nobody asked for.
  CReplyCheck::Verdict JudgeCheck(bool answer);
  void OnDamagedFrame(uint64_t nowMs);
  void OnAnswer(uint64_t nowMs);
  // The accepted reply moves the engine on: the state table.
  void Advance();
  void AdvanceWithHeldAnswer();
  void OnRefused();
  // No more sends of the request in hand (refused: the handset refused the last of them); a
  // block's give-up waits for what is still owed.
  void GiveUpRequest(bool refused = false);
  void EraseAgain();
  void ArmQuietTimer();
  void OnWaitTimer();
  void NoteWaiting();
  void OnUnmatchedReply();
  void OnEarlyReply();
  bool IsAck() const;
  // A short download-mode request (the module's set-up, the final jump) would be on its way
  // before a second ACK of the one just answered came, and that ACK taken for its answer: it
  // goes after a short wait in which a second ACK can only be a duplicate.
  void Settle();
  void SendFinalJump();
  void EndOutOfStep();
  void EndNoReply();
  // A wait for owed replies outlasted its bound without the line falling quiet.
  void EndNeverQuiet();
  void EndRefusedByHandset();
  void FinishDownload();
  // Nothing is awaited any more: the reply timer, the waits, the replies owed, the erase's wait.
  void StopAwaiting();
  // An engine pause; false when a Stop came meanwhile: nothing more may be sent.
  bool PauseFor(uint32_t ms);

  // --- data-exchange values ---
  std::string m_strBinPath;
  std::string m_strFileVer;
  uint32_t m_dwSize = 0;
  int m_nType = -1;
  int m_nPortIdx = -1;
  int m_nSpeedIdx = -1;
  std::string m_strStatus;
  std::string m_strPcbVer;
  std::string m_strSwVer;
  std::string m_strCompiled;

  // --- engine fields ---
  int32_t m_nState = -1;   // none of the states before the first command
  int32_t m_nDlStep = -1;
  int32_t m_nToDmStep = 0;
  uint32_t m_nTimerId = TM_REPLY;
  uint32_t m_nTimerMs = 0;
  uint32_t m_dwStartAddr = 0;
  uint32_t m_dwLength = 0;
  int32_t m_nBlocks = 0;
  int32_t m_nBlockIdx = 0;
  BlockRecord m_Block;
  uint8_t m_nRetry = 0;
  uint32_t m_nPhoneRev = 0;
  uint32_t m_nFileVer = 0;
  bool m_bToDmOnly = false;
  uint64_t m_tStart = 0;
  const uint8_t* m_pResp = nullptr;
  std::unique_ptr<CThreadRX> m_pRxThread;

  std::optional<EngineCommand> m_command;  // in progress: replies are awaited for it
  std::optional<EnginePhase> m_phase;      // of the command in progress
  CReplyWait m_wait;
  CReplyCheck m_plainCheck;  // plain DM replies
  CReplyCheck m_dloadCheck;  // download-mode replies
  uint64_t m_replyDueMs = 0;   // when the reply timer runs out
  uint64_t m_waitSinceMs = 0;  // a long wait began, for its notes
  RxPacket m_rxPacket;         // the reply being handled
  RxPacket m_heldResp;         // the answer held over a drain
  std::atomic<bool> m_bStopAsked{false};
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
  int m_nEraseCycles = 0;  // erase-and-restart cycles of this download
  std::optional<CWaitCursorCapture> m_eraseWait;

  bool m_bClosed = false;
  bool m_bPriorityRaised = false;
  bool m_bWriteSettings = true;
  bool m_bReceiverStandIn = false;
  CWindowServices& m_services;
  CEngineEvents m_noEvents;
  CEngineEvents& m_events;
  CQTextQ m_textQ;
  CDloadFile m_dloadFile;
  CBssComm m_comm;
};
