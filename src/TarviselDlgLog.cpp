// The log view, the command buttons and the progress-bar pair.
#include "Comm/LinkFlags.h"
#include "TarviselDlg.h"
#include "platform/Trace.h"

uint32_t ColorOfLogKind(int32_t kind) {
  switch (kind) {
    case 3:
      return kColorRed;
    case 4:
      return kColorBlack;
    default:
      return kColorBlue;
  }
}

void CTarviselDlg::AppendLog(uint32_t color, const std::string& text) {
  m_services.Controls().AppendRichText(IDC_LOG, "\n" + text, color, true);
  m_events.OnLog(color == kColorRed ? LogTone::Error : color == kColorBlack ? LogTone::Step : LogTone::Info, text);
}

void CTarviselDlg::QueueLog(int32_t kind, const std::string& text) {
  if (m_textQ.Put(kind, text)) m_services.PostMessage(WM_LOG_TEXT, 0, 0);
}

long CTarviselDlg::OnLogText(uintptr_t, intptr_t) {
  CQTextEntry entry;
  if (!m_textQ.Get(entry)) {
    trace::Write("text Queue is empty\n");
  } else if (g_bRxRun) {
    AppendLog(ColorOfLogKind(entry.m_nKind), entry.m_strText);
  }
  return 1;
}

void CTarviselDlg::EnableButtons(bool open, bool run, bool toDm, bool info, bool stop) {
  CDialogControls& c = m_services.Controls();
  c.Enable(IDC_OPEN, open);
  c.Enable(IDC_RUN, run);
  c.Enable(IDC_TODM, toDm);
  c.Enable(IDC_INFO, info);
  c.Enable(IDC_STOP, stop);
}

void CTarviselDlg::ShowProgramming(bool programming) {
  CDialogControls& c = m_services.Controls();
  c.Show(programming ? IDC_PROGRESS_IDLE : IDC_PROGRESS, false);
  c.Show(programming ? IDC_PROGRESS : IDC_PROGRESS_IDLE, true);
}
