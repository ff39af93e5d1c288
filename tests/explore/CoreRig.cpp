#include "explore/CoreRig.h"

#include <type_traits>

#include "Comm/LinkFlags.h"
#include "platform/MessageBox.h"

namespace explore {

CCoreRig::CCoreRig(const sim::CScenario& scenario, size_t flashSize) {
  auto device = std::make_unique<sim::CLoopbackDevice>(std::make_unique<sim::CHandsetModel>(scenario, flashSize),
                                                       [this] { return m_now; });
  loop = device.get();
  m_comm = std::make_unique<CBssComm>(std::move(device));
  // The link's own waits (a speed change) pass on virtual time; the line goes on meanwhile.
  m_comm->SetPause([this](unsigned ms) { DeliverUntil(m_now + ms); });
  m_comm->SetPort(1);
  m_comm->InitComm(this, &m_textQ);
  m_comm->Open();
  g_bRxRun = true;
}

CCoreRig::~CCoreRig() {
  m_comm->Close();
  m_comm->ReleaseComm();
  g_bRxRun = false;
  g_bCommOpen = false;
}

void CCoreRig::PostMessage(const WindowMessage& msg) {
  if (msg.message == WM_RX_PACKET) m_frames.push_back(msg.packet);
}

bool CCoreRig::StartDownload(const std::string& imagePath, const engine::DownloadJob& job) {
  if (!m_file.Open(imagePath, static_cast<uint8_t>(job.type))) return false;
  engine::DownloadJob j = job;
  j.fileVer = m_file.GetVersion();
  m_core.Begin(Moment(), EngineCommand::Download, engine::LinkState{m_comm->GetBaud(), m_comm->m_bCrc30Mode == 1});
  Drive();
  m_core.UseSpeed(Moment(), 57600);
  Drive();
  m_core.StartDownload(Moment(), j);
  Drive();
  return true;
}

bool CCoreRig::BoxShown(const std::string& text) const {
  for (const std::string& b : boxes) {
    if (b == text) return true;
  }
  return false;
}

void CCoreRig::Drive() {
  while (m_core.HasActions()) {
    for (const engine::Action& action : m_core.TakeActions()) Apply(action);
  }
  CQTextEntry entry;
  while (m_textQ.Get(entry)) {
  }
}

void CCoreRig::Apply(const engine::Action& action) {
  using namespace engine;
  std::visit(
      [this](const auto& a) {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, ArmTimer>) {
          m_timers[a.id] = m_now + a.ms;
        } else if constexpr (std::is_same_v<T, KillTimer>) {
          m_timers.erase(a.id);
        } else if constexpr (std::is_same_v<T, SendFrame>) {
          m_comm->SendRequest(a.payload.data(), a.payload.size(), a.dload, a.log);
        } else if constexpr (std::is_same_v<T, SendToDm>) {
          m_comm->SendToDmSequence(a.step);
        } else if constexpr (std::is_same_v<T, ChangeSpeed>) {
          if (a.toggleCheck) {
            m_comm->ToggleSpeed();
          } else {
            m_comm->ChangeBaud(a.baud);
          }
        } else if constexpr (std::is_same_v<T, LogLine>) {
          logs.push_back(a.text);
        } else if constexpr (std::is_same_v<T, Notice>) {
          boxes.push_back(a.text);
        } else if constexpr (std::is_same_v<T, AskVersion>) {
          boxes.push_back(a.text);
          m_core.OnVersionAnswer(Moment(), true);
        } else if constexpr (std::is_same_v<T, ReadBlock>) {
          BlockRecord block;
          const bool read = a.font ? m_file.ReadFontBlock(a.startAddr, a.index, block)
                                   : m_file.ReadBlock(a.startAddr, a.index, block);
          if (read) {
            m_core.OnBlock(Moment(), block);
          } else {
            m_core.OnBlockUnreadable(Moment(), m_file.LastReadFailure());
          }
        } else if constexpr (std::is_same_v<T, Finished>) {
          finished.push_back({a.command, a.outcome});
        }
      },
      action);
}

void CCoreRig::DeliverFrames() {
  while (!m_frames.empty()) {
    const RxPacket packet = m_frames.front();
    m_frames.pop_front();
    m_core.OnFrame(Moment(), packet);
    Drive();
  }
}

void CCoreRig::DeliverUntil(uint64_t untilMs) {
  // Bursts are read (and stamped) as they come; the frames wait for the core, as a window's
  // messages wait while it pauses.
  while (const std::optional<uint64_t> next = loop->NextDueMs()) {
    if (*next > untilMs) break;
    m_now = std::max(m_now, *next);
    for (const sim::Burst& burst : loop->TakeDue(m_now)) {
      if (!burst.bytes.empty()) m_comm->ParseRxData(burst.bytes.data(), static_cast<int>(burst.bytes.size()), burst.dueMs);
    }
  }
  m_now = std::max(m_now, untilMs);
}

bool CCoreRig::Step(uint64_t untilMs) {
  DeliverFrames();
  bool hungUp = false;
  if (!m_hangupSeen) {
    loop->WithModel([&](sim::CHandsetModel& m) { hungUp = m.HungUp(); });
    if (hungUp) {
      m_hangupSeen = true;  // the receive thread reports a vanished device once
      m_core.LineBroke(Moment());
      Drive();
      m_core.Idle();
      Drive();
      return true;
    }
  }
  uint64_t next = UINT64_MAX;
  if (const std::optional<uint64_t> burst = loop->NextDueMs()) next = *burst;
  uint32_t timer = 0;
  for (const auto& [id, due] : m_timers) {
    if (due < next) {
      next = due;
      timer = id;
    }
  }
  if (next == UINT64_MAX || next > untilMs) return false;
  m_now = std::max(m_now, next);
  if (m_timers.count(timer) && m_timers[timer] == next) {
    // Bursts due at the same time are read first.
    if (const std::optional<uint64_t> burst = loop->NextDueMs(); burst && *burst <= next) {
      DeliverUntil(next);
      return true;
    }
    m_timers.erase(timer);
    m_core.OnTimer(Moment(), timer);
    Drive();
    return true;
  }
  DeliverUntil(next);
  return true;
}

bool CCoreRig::RunUntilFinished(uint64_t boundMs) {
  const uint64_t until = m_now + boundMs;
  while (finished.empty()) {
    if (!Step(until)) return !finished.empty();
  }
  return true;
}

void CCoreRig::RunFor(uint64_t ms) {
  const uint64_t until = m_now + ms;
  while (Step(until)) {
  }
  m_now = std::max(m_now, until);
}

}  // namespace explore
