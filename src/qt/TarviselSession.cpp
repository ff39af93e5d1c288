#include "TarviselSession.h"

#include "AboutDialog.h"
#include "DownloadType.h"
#include "HistoryPath.h"
#include "platform/PortNames.h"

CTarviselSession::CTarviselSession()
    : m_recorder(DefaultHistoryPath(), [this](const std::string& text) { m_dlg->AppendLog(kColorRed, text); }, &m_facts),
      m_recording(m_recorder,
                  [this] {
                    const EngineView v = m_dlg->View();
                    return DownloadStart{PortDevicePath(v.portIdx == 0 ? 1 : 2), v.binPath, DownloadTypeName(v.type),
                                         SpeedOfIndex(v.speedIdx), true};
                  }),
      m_window(std::make_unique<CTarviselWindow>(m_services)) {
  m_services.AttachWindow(m_window.get(), m_window.get());
  m_dlg = std::make_unique<CTarviselDlg>(m_services, &m_recording);
  m_services.SetStopDuringPause([this] { m_dlg->AskStop(); });
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
  m_window->show();
  m_services.RunHandler([this] { m_dlg->OnInitDialog(); });
  m_window->setWindowTitle(QStringLiteral("Tarvisel ver 2.03"));
}
