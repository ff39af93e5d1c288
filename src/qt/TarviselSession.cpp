#include "TarviselSession.h"

#include <QCoreApplication>
#include <algorithm>
#include <filesystem>

#include "Registry.h"
#include "platform/SettingsFile.h"

#include "AboutDialog.h"
#include "DownloadType.h"
#include "ControlIds.h"
#include "HistoryPath.h"
#include "RecentImages.h"
#include "platform/PortNames.h"

namespace {

// The port chosen in the list instead of COM1/COM2, in the settings beside PORT (any length:
// a /dev/serial/by-id name may be long).
constexpr const char* kPortDevice = "PORT_DEVICE";
settings::CSettingsFile Settings() {
  return settings::CSettingsFile(settings::DefaultPath(), std::string(CRegistry::kKeyPath),
                                 std::string(CRegistry::kKeyClass));
}

std::string FileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

PortChoice ChoiceOf(const SerialPortEntry& port) {
  PortChoice choice{port.path, port.target.empty() ? port.path : FileName(port.path), port.path};
  if (!port.target.empty()) choice.leadsTo += " -> " + port.target;
  if (port.adapter) choice.leadsTo += "\n" + DescribeAdapter(*port.adapter);
  return choice;
}

std::string ComTip(unsigned port) {
  const std::string path = PortDevicePath(port);
  if (path.empty()) return PortDisplayName(port) + QCoreApplication::translate("TarviselSession", ": no device").toStdString();
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::canonical(path, ec);
  return PortDisplayName(port) + " -> " + path + (!ec && target != path ? " -> " + target.string() : "");
}

}  // namespace

std::vector<SerialPortEntry> CTarviselSession::SystemPorts(CDeviceFacts& facts) {
  return ListSerialPorts("/dev", "/sys/class/tty", &facts);
}

CTarviselSession::CTarviselSession(PortLister ports)
    : m_recorder(DefaultHistoryPath(), [this](const std::string& text) { m_dlg->AppendLog(kColorRed, text); }, &m_facts),
      m_recording(m_recorder,
                  [this] {
                    const EngineView v = m_dlg->View();
                    const std::string& device = m_window->PortDevice();
                    return DownloadStart{device.empty() ? PortDevicePath(v.portIdx == 0 ? 1 : 2) : device, v.binPath,
                                         DownloadTypeName(v.type),
                                         SpeedOfIndex(v.speedIdx), true};
                  }),
      m_window(std::make_unique<CTarviselWindow>(m_services)) {
  m_services.AttachWindow(m_window.get(), m_window.get());
  m_dlg = std::make_unique<CTarviselDlg>(m_services, &m_recording);
  m_services.SetStopDuringPause([this] { m_dlg->AskStop(); });
  for (const SerialPortEntry& port : ports(m_facts)) m_portChoices.push_back(ChoiceOf(port));
  m_window->SetComTips({ComTip(1), ComTip(2)});
  m_window->SetPortChoices(m_portChoices);
  m_window->SetOnPortDevice([this](const std::string& path) {
    m_dlg->SetDevicePath(path);  // opened at the next start of the link, as a new COM port is
    Settings().Set(kPortDevice, path);
  });
  // Open's menu: the last images, kept in the settings; one chosen goes through Open itself.
  m_services.SetOnFileChosen([](const std::string& path) { CRecentImages::OfUser().Add(path); });
  m_window->SetRecentImages([] { return CRecentImages::OfUser().List(); },
                            [this](const std::string& path) {
                              m_services.AnswerNextFileOpen(path);
                              m_services.SendCommand(IDC_OPEN, BN_CLICKED);
                            });
  m_window->SetAboutRunner([this] {
    CAboutDlg about(m_window.get());
    about.exec();
  });
  m_services.SetAfterDispatch([this] {
    if (m_closed || !m_dlg->IsClosed()) return;
    m_closed = true;
    m_window->FinishClose();
    if (m_onClosed) m_onClosed();
  });
}

CTarviselSession::~CTarviselSession() {
  m_services.SetAfterDispatch({});
  m_services.SetStopDuringPause({});
  m_dlg.reset();
  m_services.AttachWindow(nullptr, nullptr);
  m_window.reset();
}

void CTarviselSession::Start() {
  // The device chosen last time, present or not: a port that has gone says so when it opens,
  // rather than another port taking its place.
  const std::string stored = Settings().Query(kPortDevice).value_or("");
  if (!stored.empty()) {
    const bool present = std::any_of(m_portChoices.begin(), m_portChoices.end(),
                                     [&](const PortChoice& c) { return c.path == stored; });
    if (!present) {
      m_portChoices.push_back({stored, FileName(stored) + QCoreApplication::translate("TarviselSession", " (not present)").toStdString(),
                                stored + QCoreApplication::translate("TarviselSession", ": not present").toStdString()});
      m_window->SetPortChoices(m_portChoices);
    }
    m_window->SelectPortDevice(stored);
    m_dlg->SetDevicePath(stored);
  }
  m_window->show();
  m_services.RunHandler([this] { m_dlg->OnInitDialog(); });
  m_window->setWindowTitle(QCoreApplication::translate("TarviselSession", "Tarvisel ver 2.03"));
}
