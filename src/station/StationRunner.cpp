#include "StationRunner.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ConsoleView.h"
#include "platform/Translate.h"
#include "DloadFile.h"
#include "HandsetEvents.h"
#include "LogDir.h"
#include "PortList.h"
#include "Station.h"
#include "StationView.h"

StationImage CheckStationImage(const std::string& path, int type) {
  StationImage image;
  image.path = path;
  CDloadFile file;  // no boxes: an odd start address is asked by each handset's process
  if (file.Open(path, static_cast<uint8_t>(type))) {
    image.ok = true;
  } else if (file.WasDeclined()) {
    image.ok = true;  // the handset's process asks about the start address
  } else {
    image.why = Tr("not an image that can be downloaded (unreadable, too short, or its trailer is wrong)");
  }
  image.size = file.GetSize();
  image.version = static_cast<int32_t>(file.GetVersion());
  return image;
}

std::string PortFactsText(const std::string& path, CDeviceFacts* facts) {
  std::error_code ec;
  const std::filesystem::path tty = std::filesystem::canonical(path, ec);
  if (ec) return {};
  const auto adapter = facts ? facts->Adapter(tty.string()) : std::nullopt;
  std::string text = adapter ? DescribeAdapter(*adapter) + " -> " : std::string();
  return text + tty.string();
}

CStationRunner::CStationRunner(StationRunnerSetup setup, CDeviceFacts* facts)
    : m_setup(std::move(setup)), m_facts(facts), m_start(std::chrono::steady_clock::now()) {
  m_options.command = CliCommand::Download;
  m_options.speedIdx = 1;
  m_options.historyFile = m_setup.historyFile;
  m_options.noHistory = m_setup.noHistory;
  m_options.recordUrl = m_setup.recordUrl;
  m_options.stationName = m_setup.stationName;
}

std::optional<uint64_t> CStationRunner::GiveUnit(const std::string& unit, std::optional<uint64_t> row) {
  if (unit.empty()) return std::nullopt;
  if (row && m_model.Find(*row)) {
    m_units[*row] = unit;
    return row;
  }
  for (const StationRow& r : m_model.Rows()) {
    if (!r.present || r.running || r.ran || r.startPending || !UnitOf(r.id).empty()) continue;
    m_units[r.id] = unit;
    return r.id;
  }
  m_unitQueue.push_back(unit);
  return std::nullopt;
}

std::string CStationRunner::UnitOf(uint64_t id) const {
  const auto it = m_units.find(id);
  return it == m_units.end() ? std::string() : it->second;
}

CStationRunner::~CStationRunner() {
  // A window that closes ends its handsets as Ctrl-C twice would; the processes' owners kill
  // what is still there.
  for (auto& [id, p] : m_processes) p->Signal(SIGTERM);
}

bool CStationRunner::Start(std::string& error) {
  if (m_setup.portsDir.empty()) return true;
  m_folder = std::make_unique<CPortFolder>(m_setup.portsDir);
  if (!m_folder->Start(error)) {
    m_folder.reset();
    return false;
  }
  Pump();
  return true;
}

double CStationRunner::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::vector<std::string> CStationRunner::CommandFor(const std::string& device) const {
  CliOptions o = m_options;
  o.answer = m_model.AnswerToPass() == StationAnswer::Yes ? CliAnswer::Yes : CliAnswer::No;
  return HandsetCommand(m_setup.cliProgram, o, device);
}

uint64_t CStationRunner::AddPath(const std::string& device) {
  return m_model.AddPath(device, PortFactsText(device, m_facts));
}

void CStationRunner::Stop() {
  m_model.Stop();
  for (auto& [id, p] : m_processes) {
    // As the Stop button: refused by a handset that erases or programs.
    p->Signal(SIGINT);
    m_stopped[id] = true;
  }
}

void CStationRunner::EndAll() {
  m_model.Stop();
  for (auto& [id, p] : m_processes) p->Signal(SIGTERM);
}

std::vector<int> CStationRunner::Fds() const {
  std::vector<int> fds;
  if (m_folder && m_folder->Fd() >= 0) fds.push_back(m_folder->Fd());
  for (const auto& [id, p] : m_processes) {
    if (p->OutFd() >= 0) fds.push_back(p->OutFd());
    if (p->ErrFd() >= 0) fds.push_back(p->ErrFd());
  }
  return fds;
}

void CStationRunner::Pump() {
  if (m_folder) {
    for (const auto& change : m_folder->TakeChanges()) {
      if (change.kind == PortChange::Kind::Appeared) {
        m_model.PortAppeared(change.path, PortFactsText(change.path, m_facts));
        continue;
      }
      // The handset goes, and its unit with it.
      if (const StationRow* row = m_model.FindDevice(change.path)) m_units.erase(row->id);
      m_model.PortGone(change.path);
    }
  }
  for (auto it = m_processes.begin(); it != m_processes.end();) {
    const uint64_t id = it->first;
    CHandsetProcess& p = *it->second;
    p.ReadOut([&](const std::string& line) { m_model.Line(id, line, LogTimeStamp()); });
    p.ReadErr();
    p.Reap();
    if (!p.Ended()) {
      ++it;
      continue;
    }
    Conclude(id, p);
    m_model.Ended(id);
    m_stopped.erase(id);
    it = m_processes.erase(it);
  }
  StartPending();
}

void CStationRunner::StartPending() {
  for (const uint64_t id : m_model.TakeStarts(Now())) {
    const StationRow* row = m_model.Find(id);
    if (UnitOf(id).empty() && !m_unitQueue.empty()) {
      m_units[id] = m_unitQueue.front();
      m_unitQueue.pop_front();
    }
    std::vector<std::string> command = CommandFor(row->device);
    if (!UnitOf(id).empty()) command.insert(command.end(), {"--unit", UnitOf(id)});
    auto process = std::make_unique<CHandsetProcess>();
    // Its events' "t" count from about now: the log shows when things happened at the handset.
    m_model.SetProcessWall(id, std::chrono::system_clock::now());
    if (!process->Start(command))
      m_model.Note(id, "error", std::string(Tr("cannot start the handset's process: ")) + std::strerror(errno), LogTimeStamp());
    m_processes[id] = std::move(process);
  }
}

// A process that ended without its "finished" is concluded as a station concludes it: the
// events it never wrote are made, its row goes to the record, its last words to its log.
void CStationRunner::Conclude(uint64_t id, const CHandsetProcess& process) {
  const StationRow* row = m_model.Find(id);
  if (!row || row->status.Finished()) return;
  std::ostringstream sink;
  CStationView view(sink, ConsoleStyle{false, false}, 1);
  HandsetOutlets out{view, [&](const nlohmann::ordered_json& e) { m_model.Line(id, e.dump(), LogTimeStamp()); }, true};
  HandsetStatus status = row->status;
  status.unit = UnitOf(id);
  CHandsetLog noLog;
  const auto stopped = m_stopped.find(id);
  // Its events' "t" count from its process's start, as the process's own do.
  const double t = std::chrono::duration<double>(CHandsetProcess::Clock::now() - process.Started()).count();
  ConcludeHandset(status, 0, noLog, process, t, false, stopped != m_stopped.end(), m_options, out);
  for (const auto& line : process.ErrTail(12)) m_model.Note(id, "error", line, LogTimeStamp());
}
