#include "CommandRunner.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>

#include "ConsoleQuestions.h"
#include "ConsoleView.h"
#include "ExitStatus.h"
#include "FontParameters.h"
#include "InterruptWatcher.h"
#include "PortList.h"
#include "Registry.h"
#include "TarviselDlg.h"
#include "WireTrace.h"
#include "platform/PortNames.h"
#include "platform/RealTimeWindow.h"
#include "platform/TtyDevice.h"

namespace {

// Messages and timers of the front-end's own; the engine never sees them.
constexpr uint32_t WM_CLI_INTERRUPT = WM_USER + 0x300;
constexpr uint32_t WM_CLI_LOG_SHOWN = WM_USER + 0x301;  // every log line queued before it is out
constexpr uint32_t TM_CLI_TIMEOUT = 0x7100;

// The device the command talks to. Both COM1 and COM2 are pointed at it, so that the link the
// window opens at start-up from the stored PORT is already the right one, and the settings are
// never touched.
struct LinkTarget {
  std::string path;
  int portIdx = 0;
};

LinkTarget ResolveTarget(const CliOptions& o) {
  LinkTarget t;
  const int stored = CRegistry::ReadInt(CRegistry::kPort, CRegistry::kDefaultPort) == 0 ? 1 : 2;
  const int port = o.port.value_or(o.device.empty() ? stored : 1);
  t.portIdx = port - 1;
  t.path = o.device.empty() ? PortDevicePath(static_cast<unsigned>(port)) : o.device;
  setenv("TARVISEL_COM1", t.path.c_str(), 1);
  setenv("TARVISEL_COM2", t.path.c_str(), 1);
  return t;
}

class CRun {
 public:
  CRun(const CliOptions& options, ConsoleStreams& console)
      : m_options(options),
        m_console(console),
        m_view(console.err, ConsoleStyle{console.errIsTerminal, options.quiet}, [this] { return m_win.ClockMs(); }),
        m_questions(m_view, options.answer, console.inIsTerminal, console.in) {}

  int Execute();

 private:
  void Settle(int status) {
    if (!m_status) m_status = status;
  }
  bool Prepare();
  void Handle(const WindowMessage& msg);
  void Begin();
  void ShowQueuedLog();
  int Result();

  const CliOptions& m_options;
  ConsoleStreams& m_console;
  CRealTimeWindow m_win;
  CConsoleView m_view;
  CConsoleQuestions m_questions;
  std::optional<int> m_status;
  bool m_stopAsked = false;
  bool m_ending = false;    // the result is known: only queued log lines are still handled
  bool m_logShown = false;  // WM_CLI_LOG_SHOWN came back
  std::atomic<bool> m_aborted{false};
  std::unique_ptr<CTarviselDlg> m_dlg;
};

bool CRun::Prepare() {
  if (!m_options.logFile.empty() && !m_view.OpenLogFile(m_options.logFile)) {
    m_view.Note("cannot write the log file " + m_options.logFile, true);
    return false;
  }
  m_win.Controls().AddObserver([this](const ControlEvent& e) { m_view.OnControl(e); });
  m_view.SetLogLineListener([this](const std::string& text) {
    if (auto s = StatusOfLogLine(text)) Settle(*s);
    if (m_stopAsked && text == "Downloader stopped!!") Settle(kExitInterrupted);
  });
  m_win.SetMessageBoxHandler([this](const std::string& text, const std::string&, unsigned type) {
    const int answer = m_questions.Show(text, type);
    if (auto s = StatusOfMessageBox(text, type, answer)) Settle(*s);
    return answer;
  });
  m_win.SetFontDialogHandler([this](CDlgFont& dialog) {
    std::string why;
    const int answer = RunFontParameters(dialog, m_options.fontAddress, m_options.fontBlocks, why);
    if (answer != IDOK) {
      m_view.Note("font parameters refused: " + why, true);
      Settle(kExitRefused);
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
    m_stopAsked = true;
    m_view.Note("interrupt: Stop (press Ctrl-C again within 2 s to quit)");
    m_dlg->OnStop();
    return;
  }
  if (msg.message == WM_TIMER && msg.wParam == TM_CLI_TIMEOUT) {
    m_win.KillTimer(TM_CLI_TIMEOUT);
    m_view.Note("gave up: no result within the time given by --timeout", true);
    Settle(kExitNoReply);
    return;
  }
  m_dlg->Dispatch(msg);
  if (msg.message == WM_COMM_BREAK && !m_stopAsked) {
    m_view.Note("the line broke: the link was stopped", true);
    Settle(kExitPort);
  }
}

void CRun::Begin() {
  CTarviselDlg& dlg = *m_dlg;
  if (m_options.speedIdx) dlg.m_nSpeedIdx = *m_options.speedIdx;
  dlg.m_nType = m_options.type;
  dlg.UpdateData(false);
  if (m_options.timeoutSecs)
    m_win.SetTimer(TM_CLI_TIMEOUT, static_cast<uint32_t>(*m_options.timeoutSecs * 1000.0 + 0.5));
  switch (m_options.command) {
    case CliCommand::Download: {
      const std::string image = m_options.image;
      m_win.SetFileDialogHandler([image](const FileOpenRequest&) { return std::optional<std::string>(image); });
      dlg.OnOpen();
      if (m_status) return;
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
      Settle(kExitUsage);
      break;
  }
}

int CRun::Execute() {
  if (!Prepare()) return kExitUsage;
  const LinkTarget target = ResolveTarget(m_options);

  std::unique_ptr<CSerialDevice> device = std::make_unique<CTtyDevice>();
  if (!m_options.traceFile.empty()) {
    auto traced = std::make_unique<CWireTraceDevice>(std::move(device));
    if (!traced->OpenTrace(m_options.traceFile)) {
      m_view.Note("cannot write the wire trace " + m_options.traceFile, true);
      return kExitUsage;
    }
    device = std::move(traced);
  }

  // Before the engine starts its receive thread, so that the thread inherits the signal mask.
  CInterruptWatcher watcher([this] { m_win.PostMessage(WM_CLI_INTERRUPT, 0, 0); },
                            [this] {
                              m_aborted = true;
                              m_win.Quit();
                            });
  if (!watcher.Start()) m_view.Note("Ctrl-C handling is not available", true);

  m_dlg = std::make_unique<CTarviselDlg>(m_win, std::move(device));
  m_dlg->SetSettingsWritable(false);
  m_win.SetHandler([this](const WindowMessage& msg) { Handle(msg); });
  m_dlg->OnInitDialog();
  m_dlg->m_nPortIdx = target.portIdx;
  if (!m_status) Begin();
  if (!m_status) {
    const CTarviselDlg& dlg = *m_dlg;
    const CliCommand command = m_options.command;
    m_win.Run([&] {
      if (m_status || m_aborted) return true;
      if (command == CliCommand::Info && dlg.m_nState == DL_INFO && !dlg.m_strSwVer.empty()) Settle(kExitOk);
      if (command == CliCommand::ToDm && dlg.m_nState == DL_VERSION && !dlg.m_bToDmOnly) Settle(kExitOk);
      return m_status.has_value();
    });
  }
  if (!m_aborted) ShowQueuedLog();
  const int status = Result();
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
  if (m_aborted) {
    m_view.Note("interrupted: the port is closed", true);
    return kExitInterrupted;
  }
  const int status = m_status.value_or(kExitNoReply);
  if (status == kExitOk && m_options.command == CliCommand::Info) {
    m_console.out << "S/W version: " << m_dlg->m_strSwVer << "\n"
                  << "Compiled:    " << m_dlg->m_strCompiled << "\n"
                  << "PCB version: " << m_dlg->m_strPcbVer << "\n"
                  << std::flush;
  }
  const char* what = m_options.command == CliCommand::Download ? "download"
                     : m_options.command == CliCommand::Info   ? "info"
                                                                 : "todm";
  m_view.Note(std::string("result: ") + what + " " + DescribeExitStatus(status) + " (exit " +
                  std::to_string(status) + ")",
              status != kExitOk);
  return status;
}

}  // namespace

int RunLinkCommand(const CliOptions& options, ConsoleStreams& console) {
  CRun run(options, console);
  return run.Execute();
}

int RunPortsCommand(ConsoleStreams& console) {
  for (unsigned port = 1; port <= 2; ++port)
    console.out << PortDisplayName(port) << " -> " << PortDevicePath(port) << "\n";
  for (const auto& p : ListSerialPorts()) {
    console.out << p.path;
    if (!p.target.empty()) console.out << " -> " << p.target;
    console.out << "\n";
  }
  console.out << std::flush;
  return kExitOk;
}
