#include "TarviselSession.h"

#include "AboutDialog.h"

CTarviselSession::CTarviselSession() : m_window(std::make_unique<CTarviselWindow>(m_services)) {
  m_services.AttachWindow(m_window.get(), m_window.get());
  m_dlg = std::make_unique<CTarviselDlg>(m_services);
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
