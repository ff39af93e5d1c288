#pragma once
// The main window: owns the link, the image file and the log text queue, and hosts the download
// engine. It reaches the platform only through CWindowServices, and reports what happened to
// its front-end through CEngineEvents, so it runs the same under the window, the command line
// and the tests.
//
// How a reply travels: the receive thread (Thrdrx) reads the port and hands the bytes to the
// link's frame assembly (Comm/BssReceive), which posts each decoded reply as WM_RX_PACKET; the
// window services deliver it on the window's thread to Dispatch, which hands it to the download
// core (engine/) with the moment it is handled. The core decides and leaves actions: the window
// carries them out (TarviselDlgDriver), sending through the link (Comm/BssFraming), arming its
// timers, showing lines, boxes and progress, and telling its front-end.
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
#include "Thrdrx.h"
#include "engine/DownloadCore.h"
#include "engine/EngineTypes.h"
#include "platform/Translate.h"
#include "platform/WindowServices.h"

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

  // --- the phone information ---
  void ClearPhoneInfo();

  // --- the main window's own commands ---
  void OnSelchangePort();
  void OnSelchangeSpeed();
  void OnSelchangeType();
  void OnClose();
  void ClearFileInfo();

  // --- the commands the engine carries out ---
  void OnRun();
  void PrepareRun();
  // The range the download type writes (the font dialog asks for a font's); none when nothing
  // may start.
  std::optional<engine::DownloadJob> SetupRange();
  // Refuses, before anything is sent, a range that cannot be downloaded whole.
  bool CheckRange(uint32_t startAddr, uint32_t length);
  void OnInfo();
  void OnToDm();
  void OnStop();
  bool StartDownloader();
  void StopDownloader();
  void EnsureLink();
  long OnCommBreak(uintptr_t wParam, intptr_t lParam);

  // --- the download core's driver (TarviselDlgDriver) ---
  engine::Moment Now() const;
  engine::LinkState LinkNow() const;
  // Carries out what the core left, in order, with what it hands back.
  void Drive();
  // False when a Stop came during what it did (a pause): the rest of the batch sends nothing.
  bool Apply(const engine::Action& action);
  void ShowProgress(const BlockProgress& progress);
  void ShowElapsedTime(uint64_t elapsedMs);
  void OnFinished(EngineCommand command, Outcome outcome);

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

  // --- the engine ---
  CDownloadCore m_core;
  uint32_t m_nFileVer = 0;
  std::unique_ptr<CThreadRX> m_pRxThread;
  std::atomic<bool> m_bStopAsked{false};
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
