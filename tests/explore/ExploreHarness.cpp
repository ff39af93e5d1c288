#include "explore/ExploreHarness.h"

#include "Comm/LinkFlags.h"

namespace explore {

namespace {
// Deliver() is the receive thread: a thread of its own per run would only cost its start and
// the hand-offs of each speed change (half a run's time). An engine older than the stand-in
// (scripts/explore --before) starts its thread.
template <typename Dlg>
void StandInForReceiver(Dlg& dlg) {
  if constexpr (requires { dlg.SetReceiverStandIn(true); }) dlg.SetReceiverStandIn(true);
}
}  // namespace

CExploreHarness::CExploreHarness(const sim::CScenario& scenario, size_t flashSize) {
  win.SetRecording(false);  // the runs look at the end only
  auto clock = [this] { return win.Now(); };
  auto device = std::make_unique<sim::CLoopbackDevice>(std::make_unique<sim::CHandsetModel>(scenario, flashSize), clock);
  loop = device.get();
  dlg = std::make_unique<CTarviselDlg>(win, &events, std::move(device));
  dlg->SetSettingsWritable(false);  // a run's choices are no one's settings
  StandInForReceiver(*dlg);
  win.SetHandler([this](const WindowMessage& msg) { OnMessage(msg); });
  // The receive thread goes on reading while the window pauses: what arrives meanwhile is
  // assembled, stamped with the host's bytes out at that time, and waits in the queue.
  win.SetPauseHook([this](uint32_t ms) { DeliverUntil(win.Now() + ms); });
}

void CExploreHarness::DeliverUntil(uint64_t untilMs) {
  while (const std::optional<uint64_t> next = loop->NextDueMs()) {
    if (*next > untilMs) break;
    for (const sim::Burst& burst : loop->TakeDue(*next)) {
      if (!burst.bytes.empty())
        dlg->Comm().ParseRxData(burst.bytes.data(), static_cast<int>(burst.bytes.size()), burst.dueMs);
    }
  }
}

CExploreHarness::~CExploreHarness() {
  dlg.reset();
  g_bRxRun = false;
  g_bCommOpen = false;
}

void CExploreHarness::Init() {
  dlg->OnInitDialog();
  Reschedule();
}

void CExploreHarness::OnMessage(const WindowMessage& msg) {
  if (msg.message == WM_TIMER && msg.wParam == kDeliveryTimer) {
    win.KillTimer(kDeliveryTimer);
    m_timerArmed = false;
    Deliver();
  } else {
    dlg->Dispatch(msg);
  }
  Reschedule();
}

void CExploreHarness::Deliver() {
  // Each burst is one read of the receive thread, at the time it arrives.
  for (const sim::Burst& burst : loop->TakeDue(win.Now())) {
    if (!burst.bytes.empty())
      dlg->Comm().ParseRxData(burst.bytes.data(), static_cast<int>(burst.bytes.size()), burst.dueMs);
  }
  bool hungUp = false;
  loop->WithModel([&](sim::CHandsetModel& m) { hungUp = m.HungUp(); });
  if (hungUp && !m_hangupPosted) {
    m_hangupPosted = true;  // the receive thread reports a vanished device once
    win.PostMessage(WM_COMM_BREAK, 0, 0);
  }
}

void CExploreHarness::Reschedule() {
  for (;;) {
    const std::optional<uint64_t> next = loop->NextDueMs();
    if (!next) {
      if (m_timerArmed) win.KillTimer(kDeliveryTimer);
      m_timerArmed = false;
      Deliver();  // a hang-up has no burst of its own
      return;
    }
    if (*next <= win.Now()) {
      Deliver();
      continue;
    }
    win.SetTimer(kDeliveryTimer, static_cast<uint32_t>(*next - win.Now()));
    m_timerArmed = true;
    return;
  }
}

void CExploreHarness::Click(int id) { win.PostMessage(WM_COMMAND, static_cast<uintptr_t>(id), BN_CLICKED); }

void CExploreHarness::Select(int id, int index) {
  win.Controls().SetComboSel(id, index);
  win.PostMessage(WM_COMMAND, static_cast<uintptr_t>(id), CBN_SELCHANGE);
}

bool CExploreHarness::BoxShown(const std::string& text) const {
  for (const auto& b : win.MessageBoxes()) {
    if (b.text == text) return true;
  }
  return false;
}

}  // namespace explore
