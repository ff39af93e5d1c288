// The window as the download core's driver: it hands the core each event with the moment it is
// handled, and carries out what the core leaves, in order: frames through the link, timers
// through the window services, lines in the log, boxes, progress, and the front-end's events.
#include <cstdio>
#include <type_traits>

#include "TarviselDlg.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

engine::Moment CTarviselDlg::Now() const { return engine::Moment{m_services.ClockMs(), m_comm.GetTxEnd()}; }

engine::LinkState CTarviselDlg::LinkNow() const {
  return engine::LinkState{m_comm.GetBaud(), m_comm.m_bCrc30Mode == 1};
}

void CTarviselDlg::Drive() {
  // An action may hand something back to the core (a block read from the image, the user's
  // answer): what that leaves is carried out next.
  while (m_core.HasActions()) {
    const std::vector<engine::Action> actions = m_core.TakeActions();
    bool sending = true;
    for (const engine::Action& action : actions) {
      if (!sending && (std::holds_alternative<engine::SendFrame>(action) ||
                       std::holds_alternative<engine::SendToDm>(action) ||
                       std::holds_alternative<engine::ArmTimer>(action) ||
                       std::holds_alternative<engine::ReadBlock>(action) ||
                       std::holds_alternative<engine::AskVersion>(action)))
        continue;
      if (!Apply(action)) {
        trace::Printf("engine: Stop came during a pause: nothing more is sent\n");
        sending = false;
      }
    }
  }
}

bool CTarviselDlg::Apply(const engine::Action& action) {
  using namespace engine;
  return std::visit(
      [this](const auto& a) -> bool {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, ArmTimer>) {
          m_services.SetTimer(a.id, a.ms);
        } else if constexpr (std::is_same_v<T, KillTimer>) {
          m_services.KillTimer(a.id);
        } else if constexpr (std::is_same_v<T, SendFrame>) {
          m_comm.SendRequest(a.payload.data(), a.payload.size(), a.dload, a.log);
        } else if constexpr (std::is_same_v<T, SendToDm>) {
          m_comm.SendToDmSequence(a.step);
        } else if constexpr (std::is_same_v<T, ChangeSpeed>) {
          CThreadHold hold(m_pRxThread.get());
          if (a.toggleCheck) {
            m_comm.ToggleSpeed();
          } else {
            m_comm.ChangeBaud(a.baud);
          }
          return !m_bStopAsked;
        } else if constexpr (std::is_same_v<T, LogLine>) {
          if (a.queued) {
            QueueLog(a.kind, a.text);
          } else {
            AppendLog(a.color, a.text);
          }
        } else if constexpr (std::is_same_v<T, Notice>) {
          m_services.MessageBox(a.text, "", a.flags);
        } else if constexpr (std::is_same_v<T, AskVersion>) {
          UpdateData(false);
          const bool go = m_services.MessageBox(a.text, "", MB_YESNO) != IDNO;
          if (m_bStopAsked) return false;
          m_core.OnVersionAnswer(Now(), go);
        } else if constexpr (std::is_same_v<T, ReadBlock>) {
          BlockRecord block;
          const bool read = a.font ? m_dloadFile.ReadFontBlock(a.startAddr, a.index, block)
                                   : m_dloadFile.ReadBlock(a.startAddr, a.index, block);
          if (read) {
            m_core.OnBlock(Now(), block);
          } else {
            m_core.OnBlockUnreadable(Now(), m_dloadFile.LastReadFailure());
          }
        } else if constexpr (std::is_same_v<T, WaitCursor>) {
          if (a.on) {
            m_eraseWait.emplace(m_services);
          } else {
            m_eraseWait.reset();
          }
        } else if constexpr (std::is_same_v<T, ClearPhone>) {
          ClearPhoneInfo();
          return !m_bStopAsked;
        } else if constexpr (std::is_same_v<T, ShowPhone>) {
          m_strSwVer = a.info.swVersion;
          m_strCompiled = a.info.compiled;
          m_strPcbVer = a.info.pcbVersion;
          UpdateData(false);
          m_events.OnPhoneInfo(a.info);
        } else if constexpr (std::is_same_v<T, Started>) {
          m_events.OnStarted(a.command);
        } else if constexpr (std::is_same_v<T, PhaseEntered>) {
          m_events.OnPhase(a.phase);
        } else if constexpr (std::is_same_v<T, Progress>) {
          ShowProgress(a.progress);
        } else if constexpr (std::is_same_v<T, Resent>) {
          m_events.OnResend(a.info);
        } else if constexpr (std::is_same_v<T, Programmed>) {
          ShowElapsedTime(a.elapsedMs);
        } else if constexpr (std::is_same_v<T, Finished>) {
          OnFinished(a.command, a.outcome);
        }
        return true;
      },
      action);
}

void CTarviselDlg::ClearPhoneInfo() {
  m_strSwVer.clear();
  m_strCompiled.clear();
  m_strPcbVer.clear();
  UpdateData(false);
  // Blank for a moment, so that the information is seen to be read again.
  m_services.Pause(300);
}

void CTarviselDlg::ShowProgress(const BlockProgress& progress) {
  CDialogControls& c = m_services.Controls();
  if (progress.block == 0) {
    ShowProgramming(true);
    c.SetProgressRange(IDC_PROGRESS, 0, progress.blocks);
    c.SetProgressPos(IDC_PROGRESS, 0);
    c.EnableProgressText(IDC_PROGRESS, true);
    m_strStatus.clear();
  } else {
    const int percent =
        static_cast<int>(static_cast<double>(progress.block) / static_cast<double>(progress.blocks) * 100.0) & 0xFF;
    char text[64];
    std::snprintf(text, sizeof text, Tr("Downloading completed %d%%"), percent);
    c.SetProgressText(IDC_PROGRESS, text);
    c.SetProgressPos(IDC_PROGRESS, progress.block);
    std::snprintf(text, sizeof text, "Addr = 0x%lx", static_cast<unsigned long>(progress.address));
    m_strStatus = text;
  }
  UpdateData(false);
  m_events.OnProgress(progress);
}

void CTarviselDlg::ShowElapsedTime(uint64_t elapsedMs) {
  m_events.OnProgrammed(elapsedMs);
  const uint64_t s = elapsedMs / 1000;
  char text[64];
  std::snprintf(text, sizeof text, Tr("Elapsed time : %d min %d sec"), static_cast<int>(s / 60),
                static_cast<int>(s % 60));
  m_strStatus = text;
  ShowProgramming(false);
  EnableButtons(true, true, true, true, false);
  UpdateData(false);
}

void CTarviselDlg::OnFinished(EngineCommand command, Outcome outcome) {
  m_eraseWait.reset();
  switch (outcome) {
    case Outcome::NoReply:
    case Outcome::OutOfStep:
    case Outcome::HandsetRefused:
    case Outcome::ReadError:
      ShowProgramming(false);
      EnableButtons(true, true, true, true, false);
      UpdateData(false);
      break;
    case Outcome::Declined:
      EnableButtons(true, true, true, true, false);
      break;
    default:
      break;
  }
  m_events.OnFinished(command, outcome);
}
