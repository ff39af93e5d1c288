#include "LivePorts.h"

LivePort LivePortOf(const HandsetStatus& s, bool present) {
  LivePort p;
  p.port = s.device;
  p.present = present;
  if (s.Finished()) {
    p.lastOutcome = *s.outcome;
  } else if (s.started) {
    p.phase = s.phase.empty() ? "starting" : s.phase;
    if (s.phase == "programming" && s.progress && s.progress->blocks > 0)
      p.percent = 100.0 * s.progress->block / s.progress->blocks;
  }
  return p;
}

CLivePorts::CLivePorts(const CliOptions& options) {
  const bool downloads = options.command == CliCommand::Download || options.command == CliCommand::Watch;
  const std::string path = HistoryPathOf(options);
  // The name the rows go under: --station-name, else the machine's.
  const std::string station = options.stationName.empty() ? StationName() : options.stationName;
  if (downloads && !path.empty()) m_publisher = std::make_unique<CLiveStatePublisher>(path, station, RecordUrlOf(options));
}

void CLivePorts::Update(const HandsetStatus& status, bool present) {
  if (!m_publisher) return;
  const auto now = std::chrono::steady_clock::now();
  m_publisher->Set(LivePortOf(status, present), now);
  m_publisher->Flush(now);
}

std::chrono::steady_clock::time_point CLivePorts::Due() const {
  return m_publisher ? m_publisher->Due() : std::chrono::steady_clock::time_point::max();
}
