#include "CommandRunner.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

#include "ConsoleQuestions.h"
#include "ConsoleView.h"
#include "DeviceFacts.h"
#include "DownloadRecorder.h"
#include "ExitStatus.h"
#include "FontParameters.h"
#include "InterruptWatcher.h"
#include "JsonEvents.h"
#include "LogDir.h"
#include "PortList.h"
#include "RecordUploader.h"
#include "Registry.h"
#include "TarviselDlg.h"
#include "WireTrace.h"
#include "ImageDigest.h"
#include "platform/PortNames.h"
#include "platform/Translate.h"
#include "platform/RealTimeWindow.h"
#include "platform/Translate.h"
#include "platform/TtyDevice.h"
#include "platform/WindowServices.h"

namespace {

int StoredPortNumber() { return CRegistry::ReadInt(CRegistry::kPort, CRegistry::kDefaultPort) == 0 ? 1 : 2; }

// Messages and timers of the front-end's own; the engine never sees them.
constexpr uint32_t WM_CLI_INTERRUPT = WM_USER + 0x300;
constexpr uint32_t WM_CLI_LOG_SHOWN = WM_USER + 0x301;  // every log line queued before it is out
constexpr uint32_t TM_CLI_TIMEOUT = 0x7100;
// The longest a download's end waits for its row to reach the shared record.
constexpr auto kRecordSendBound = std::chrono::milliseconds(1800);

class CRun final : public CEngineEvents {
 public:
  CRun(const CliOptions& options, const std::string& device, ConsoleStreams& console)
      : m_options(options),
        m_device(device),
        m_console(console),
        m_view(console.err, ConsoleStyle{console.errIsTerminal, options.quiet, console.colour}, [this] { return m_win.ClockMs(); }),
        m_questions(m_view, options.answer, console.inIsTerminal, console.in),
        m_recorder(HistoryPathOf(options), [this](const std::string& text) { m_view.Note(text, true); }, &m_facts) {}

  int Execute();

  // --- what the engine reports ---
  void OnImageOpened(const ImageInfo& image) override {
    m_recorder.Image(image);
    if (image.status == ImageStatus::Refused) Settle(RunEnd::Refused);
    if (image.status == ImageStatus::Declined) Settle(RunEnd::Declined);
  }
  void OnLog(LogTone tone, const std::string& text) override { m_view.LogLine(tone, text); }
  void OnPhase(EnginePhase phase) override {
    m_phase = phase;
    if (m_json) m_json->Phase(phase);
  }
  void OnProgress(const BlockProgress& progress) override {
    m_view.Progress(progress);
    if (!m_json) return;
    const uint64_t now = m_win.ClockMs();
    m_progressClock.Note(progress, now);
    m_json->Progress(progress, m_progressClock.Rate(progress, now));
  }
  void OnProgrammed(uint64_t elapsedMs) override { m_view.Programmed(elapsedMs); }
  void OnResend(const ResendInfo&) override { m_recorder.Resend(); }
  void OnPhoneInfo(const PhoneInfo& info) override {
    m_phone = info;
    m_recorder.Phone(info);
    if (m_json) m_json->Phone(info);
  }
  void OnPortError(const std::string&) override { Settle(RunEnd::PortFailed); }
  void OnFinished(EngineCommand, Outcome outcome) override {
    // The font parameters this front-end refused cancel the dialog: a refusal, not a No.
    if (outcome == Outcome::Declined && m_fontRefused) {
      Settle(RunEnd::Refused);
      return;
    }
    Settle(EndOfOutcome(outcome));
  }

 private:
  void Settle(RunEnd end) {
    if (!m_end) m_end = end;
  }
  bool Prepare();
  void Handle(const WindowMessage& msg);
  void Begin();
  void ShowQueuedLog();
  int Result();
  // The row to the shared record, within kRecordSendBound.
  void SendRecord(bool recorded);
  // A file given on the command line cannot be written: nothing was tried.
  int UsageEnd();

  const CliOptions& m_options;
  const std::string m_device;
  ConsoleStreams& m_console;
  CRealTimeWindow m_win;
  CConsoleView m_view;
  CConsoleQuestions m_questions;
  CUdevFacts m_facts;
  CDownloadRecorder m_recorder;
  std::optional<CJsonEventWriter> m_json;
  CProgressClock m_progressClock;
  std::optional<RunEnd> m_end;
  std::optional<PhoneInfo> m_phone;
  std::optional<EnginePhase> m_phase;
  bool m_fontRefused = false;
  bool m_ending = false;    // the result is known: only queued log lines are still handled
  bool m_logShown = false;  // WM_CLI_LOG_SHOWN came back
  std::atomic<bool> m_aborted{false};
  std::unique_ptr<CTarviselDlg> m_dlg;
  std::unique_ptr<CRecordUploader> m_uploader;  // to the shared record, when there is one
  // The engine as the interrupt watcher's thread sees it: told of a Stop at once, so that a
  // pause under way sends nothing more.
  std::atomic<CTarviselDlg*> m_engine{nullptr};
};

bool CRun::Prepare() {
  std::string logFile = m_options.logFile;
  if (!m_options.logDir.empty()) {
    // A file of its own, never one that is there already.
    CHandsetLog log;
    std::string error;
    if (!LogFolderWritable(m_options.logDir, error) || !log.Create(m_options.logDir, m_device, std::time(nullptr), error)) {
      m_view.Note(error, true);
      return false;
    }
    logFile = log.Path();
  }
  if (!logFile.empty() && !m_view.OpenLogFile(logFile)) {
    m_view.Note(Tr("cannot write the log file ") + logFile, true);
    return false;
  }
  m_win.SetMessageBoxHandler([this](const std::string& text, const std::string&, unsigned type) {
    return m_questions.Show(text, type);
  });
  m_win.SetFontDialogHandler([this](CDlgFont& dialog) {
    std::string why;
    const int answer = RunFontParameters(dialog, m_options.fontAddress, m_options.fontBlocks, why);
    if (answer != IDOK) {
      m_view.Note(Tr("font parameters refused: ") + why, true);
      m_fontRefused = true;
    }
    return answer;
  });
  return true;
}

void CRun::Handle(const WindowMessage& msg) {
  if (msg.message == WM_CLI_LOG_SHOWN) {
    m_logShown = true;
    return;
  }
  if (m_ending) {
    // The command is over: the engine takes no more replies, timers or commands.
    if (msg.message == WM_LOG_TEXT) m_dlg->Dispatch(msg);
    return;
  }
  if (msg.message == WM_CLI_INTERRUPT) {
    m_view.Note(Tr("interrupt: Stop (press Ctrl-C again within 2 s to quit)"));
    m_dlg->OnCommand(IDC_STOP, BN_CLICKED);
    return;
  }
  if (msg.message == WM_TIMER && msg.wParam == TM_CLI_TIMEOUT) {
    m_win.KillTimer(TM_CLI_TIMEOUT);
    m_view.Note(Tr("gave up: no result within the time given by --timeout"), true);
    Settle(RunEnd::Timeout);
    return;
  }
  m_dlg->Dispatch(msg);
}

void CRun::Begin() {
  // The choices go in as a user would make them: on the controls, then the selection change.
  CDialogControls& c = m_win.Controls();
  if (m_options.speedIdx) c.SetComboSel(IDC_SPEED, *m_options.speedIdx);
  c.SetComboSel(IDC_TYPE, m_options.type);
  m_dlg->OnCommand(IDC_TYPE, CBN_SELCHANGE);
  if (m_options.timeoutSecs)
    m_win.SetTimer(TM_CLI_TIMEOUT, static_cast<uint32_t>(*m_options.timeoutSecs * 1000.0 + 0.5));
  switch (m_options.command) {
    case CliCommand::Download: {
      m_dlg->OpenImage(m_options.image);
      if (m_end) return;
      m_win.PostMessage(WM_COMMAND, IDC_RUN, BN_CLICKED);
      break;
    }
    case CliCommand::Info:
      m_win.PostMessage(WM_COMMAND, IDC_INFO, BN_CLICKED);
      break;
    case CliCommand::ToDm:
      m_win.PostMessage(WM_COMMAND, IDC_TODM, BN_CLICKED);
      break;
    default:
      break;
  }
}

int CRun::Execute() {
  const std::optional<EngineCommand> command = EngineCommandOf(m_options.command);
  if (!command) return kExitUsage;
  if (m_options.json) {
    m_json.emplace(m_console.out, m_device, [this] { return m_win.ClockMs(); });
    m_view.SetLineSink([this](const char* kind, const std::string& text) { m_json->Log(kind, text); });
    const bool download = *command == EngineCommand::Download;
    m_json->Started(*command, download ? std::optional<std::string>(DownloadTypeName(m_options.type)) : std::nullopt,
                    download ? std::optional<std::string>(m_options.image) : std::nullopt, SelectedSpeed(m_options));
  }
  if (!Prepare()) return UsageEnd();
  if (*command == EngineCommand::Download) {
    // Before anything opens it: a FIFO or a device would be waited on, a folder read as nothing.
    std::string why;
    if (!IsImageFile(m_options.image, why)) {
      m_view.Note(std::string(Tr("cannot use the image")) + " " + m_options.image + ": " + why, true);
      m_recorder.Begin({m_device, m_options.image, DownloadTypeName(m_options.type), SelectedSpeed(m_options)});
      m_recorder.Finish(EndName(RunEnd::Refused), kExitRefused);
      if (m_json) m_json->Finished(EndName(RunEnd::Refused), kExitRefused);
      return kExitRefused;
    }
  }
  if (m_options.devices.empty()) {
    // A port chosen by number may lead nowhere a handset is: say where before anything goes.
    const bool stored = m_options.ports.empty();
    const int port = stored ? StoredPortNumber() : m_options.ports.front();
    const PortLead lead =
        PortLeadsTo(PortDisplayName(static_cast<unsigned>(port)), stored ? Tr("the stored PORT") : "--port " + std::to_string(port), m_device);
    m_view.Note(lead.text, lead.doubtful);
  }

  std::unique_ptr<CSerialDevice> device = std::make_unique<CTtyDevice>();
  if (!m_options.traceFile.empty()) {
    auto traced = std::make_unique<CWireTraceDevice>(std::move(device));
    if (!traced->OpenTrace(m_options.traceFile)) {
      m_view.Note(Tr("cannot write the wire trace ") + m_options.traceFile, true);
      return UsageEnd();
    }
    device = std::move(traced);
  }
  if (*command == EngineCommand::Download)
    m_recorder.Begin({m_device, m_options.image, DownloadTypeName(m_options.type), SelectedSpeed(m_options), true,
                      m_options.unit, m_options.stationName});

  // Before the engine starts its receive thread, so that the thread inherits the signal mask.
  CInterruptWatcher watcher(
      [this] {
        if (CTarviselDlg* engine = m_engine.load()) engine->AskStop();
        m_win.PostMessage(WM_CLI_INTERRUPT, 0, 0);
      },
                            [this] {
                              m_aborted = true;
                              m_win.Quit();
                            });
  if (!watcher.Start()) m_view.Note(Tr("Ctrl-C handling is not available"), true);
  // Started with the download, so that the connection is made (and rows an earlier run left
  // are sent) while the handset is flashed.
  const std::string recordUrl = RecordUrlOf(m_options);
  const std::string outbox = HistoryPathOf(m_options);
  if (*command == EngineCommand::Download && !recordUrl.empty() && !outbox.empty())
    m_uploader = std::make_unique<CRecordUploader>(CRecordUploader::Setup{recordUrl, outbox});

  m_dlg = std::make_unique<CTarviselDlg>(m_win, this, std::move(device));
  m_engine = m_dlg.get();
  m_dlg->SetSettingsWritable(false);
  m_dlg->SetDevicePath(m_device);
  m_win.SetHandler([this](const WindowMessage& msg) { Handle(msg); });
  m_dlg->OnInitDialog();
  if (!m_end) Begin();
  if (!m_end) m_win.Run([&] { return m_end.has_value() || m_aborted; });
  if (!m_aborted) ShowQueuedLog();
  const int status = Result();
  m_engine = nullptr;
  m_dlg.reset();  // closes the port and ends the receive thread
  return status;
}

// The end is decided right after the message that settled it, while log lines the engine
// queued before it (Info's "Mobile version received") still wait, each behind a WM_LOG_TEXT.
// Posted messages are handed out in order and before any timer, so once a marker posted now
// comes back, every one of them has been shown.
void CRun::ShowQueuedLog() {
  m_ending = true;
  m_logShown = false;
  m_win.PostMessage(WM_CLI_LOG_SHOWN, 0, 0);
  m_win.Run([this] { return m_logShown || m_aborted; });
}

int CRun::Result() {
  const RunEnd end = m_aborted ? RunEnd::Interrupted : m_end.value_or(RunEnd::NoReply);
  if (end == RunEnd::Interrupted) {
    m_view.Note(Tr("interrupted: the port is closed"), true);
    if (m_options.command == CliCommand::Download && m_phase &&
        (*m_phase == EnginePhase::Erase || *m_phase == EnginePhase::Programming || *m_phase == EnginePhase::Jump)) {
      // What the technician must do next: the handset cannot start from a half-written flash.
      m_view.Note(TrFormat("the handset's flash is incomplete: the download was interrupted during the %s, and the "
                           "handset will not start from it.",
                           *m_phase == EnginePhase::Erase  ? Tr("erase")
                           : *m_phase == EnginePhase::Jump ? Tr("final jump")
                                                           : Tr("programming")),
                  true);
      m_view.Note(TrFormat("to recover: restart the handset (power off and on), then run an EMERGENCY download: "
                           "tarvisel-cli download %s --type emergency --device %s",
                           m_options.image.c_str(), m_device.c_str()),
                  true);
    }
  }
  const int status = ExitStatusOf(end);
  if (end == RunEnd::Completed && m_options.command == CliCommand::Info && m_phone) {
    // Standard output carries nothing but the events under --json.
    std::ostream& out = m_json ? m_console.err : m_console.out;
    out << Tr("S/W version: ") << m_phone->swVersion << "\n"
        << Tr("Compiled:    ") << m_phone->compiled << "\n"
        << Tr("PCB version: ") << m_phone->pcbVersion << "\n"
        << std::flush;
  }
  const char* what = m_options.command == CliCommand::Download ? "download"
                     : m_options.command == CliCommand::Info   ? "info"
                                                                 : "todm";
  const bool recorded = m_recorder.Finish(EndName(end), status);
  m_view.Result(TrFormat("result: %s %s (exit %d)", what, DescribeEnd(end).c_str(), status),
                status != kExitOk);
  if (m_json) m_json->Finished(EndName(end), status);
  SendRecord(recorded);
  return status;
}

void CRun::SendRecord(bool recorded) {
  if (!m_uploader) return;
  if (recorded) m_uploader->Nudge();
  // What is not sent within the bound stays in the outbox for the next run or record sync; the
  // download's outcome is what it was.
  const CRecordUploader::Report report = m_uploader->Finish(std::chrono::steady_clock::now() + kRecordSendBound);
  m_uploader.reset();
  if (report.drained) return;
  std::string text = "record: not sent to the shared record " + PgUrlShown(RecordUrlOf(m_options));
  if (!report.error.empty()) text += " (" + report.error + ")";
  if (report.pending >= 0) text += "; " + std::to_string(report.pending) + " row(s) wait in the outbox";
  m_view.Note(text, true);
}

int CRun::UsageEnd() {
  if (m_json) m_json->Finished(kUsageOutcome, kExitUsage);
  return kExitUsage;
}

}  // namespace

std::optional<EngineCommand> EngineCommandOf(CliCommand command) {
  switch (command) {
    case CliCommand::Download: return EngineCommand::Download;
    case CliCommand::Info: return EngineCommand::Info;
    case CliCommand::ToDm: return EngineCommand::ToDm;
    default: return std::nullopt;
  }
}

std::vector<std::string> HandsetDevices(const CliOptions& o) {
  if (!o.devices.empty()) return o.devices;
  std::vector<int> ports = o.ports;
  if (ports.empty()) ports.push_back(StoredPortNumber());
  std::vector<std::string> devices;
  for (int port : ports) devices.push_back(PortDevicePath(static_cast<unsigned>(port)));
  return devices;
}

bool ColourWanted(const char* noColor) { return noColor == nullptr || *noColor == '\0'; }

std::optional<int> SelectedSpeed(const CliOptions& o) {
  // A stored index the window has no speed for has none.
  return SpeedOfIndex(o.speedIdx.value_or(CRegistry::ReadInt(CRegistry::kBaud, CRegistry::kDefaultBaud)));
}

int RunLinkCommand(const CliOptions& options, const std::string& device, ConsoleStreams& console) {
  CRun run(options, device, console);
  return run.Execute();
}

int RunPortsCommand(const CliOptions& options, ConsoleStreams& console) {
  std::vector<std::pair<std::string, std::string>> comPorts;
  for (unsigned port = 1; port <= 2; ++port) comPorts.emplace_back(PortDisplayName(port), PortDevicePath(port));
  CUdevFacts facts;
  const std::vector<SerialPortEntry> ports = ListSerialPorts("/dev", "/sys/class/tty", &facts);
  const bool modemManager = ModemManagerRunning(options.procRoot);
  if (options.json) {
    PrintPortListJson(console.out, comPorts, ports, modemManager);
    return kExitOk;
  }
  PrintPortList(console.out, comPorts, ports);
  if (modemManager) console.out << Tr(kModemManagerNote) << "\n" << std::flush;
  return kExitOk;
}
