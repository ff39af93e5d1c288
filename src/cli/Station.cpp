#include "Station.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "EventOutput.h"
#include "ExitStatus.h"
#include "HandsetEvents.h"
#include "JsonEvents.h"
#include "LivePorts.h"
#include "RunSignals.h"

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kSecondPress = std::chrono::seconds(2);
constexpr auto kDrawEvery = std::chrono::milliseconds(100);
// A process whose pipes are closed is gone or about to be: look for its status this often.
constexpr int kReapPollMs = 50;

struct Handset {
  CHandsetProcess process;
  CHandsetLog log;
  bool done = false;  // its result is in, and its process is gone
};

class CStation {
 public:
  CStation(const CliOptions& options, const std::vector<std::string>& devices, ConsoleStreams& console,
           const StationSetup& setup)
      : m_options(options),
        m_console(console),
        m_setup(setup),
        m_start(Clock::now()),
        m_view(console.err, ConsoleStyle{console.errIsTerminal, options.quiet, console.colour}, devices.size(), setup.columns),
        m_json(options.json ? console.outFd : -1, console.out, [this] { return Seconds(); }),
        m_out{m_view, [this](const json& e) { Emit(e); }, options.quiet} {
    for (const auto& d : devices) {
      m_status.emplace_back();
      m_status.back().device = d;
      m_handsets.push_back(std::make_unique<Handset>());
    }
  }

  int Run();

 private:
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }
  bool OpenLogs();
  int UsageEnd(const std::string& why);
  void Spawn(size_t i);
  void HandleSignals();
  void Stop();
  void Abort();
  void Emit(const json& object);
  void FinishOutput();
  bool AllDone() const {
    return std::all_of(m_handsets.begin(), m_handsets.end(), [](const auto& h) { return h->done; });
  }

  const CliOptions& m_options;
  ConsoleStreams& m_console;
  const StationSetup& m_setup;
  const Clock::time_point m_start;
  CRunSignals m_signals;
  CStationView m_view;
  CEventOutput m_json;
  HandsetOutlets m_out;
  std::vector<HandsetStatus> m_status;
  std::vector<std::unique_ptr<Handset>> m_handsets;
  CLivePorts m_live{m_options};
  bool m_outBroken = false;
  bool m_stopped = false;  // Ctrl-C once: every handset was asked to stop
  bool m_aborted = false;  // Ctrl-C twice or SIGTERM: every handset was told to end
  std::optional<Clock::time_point> m_lastPress;
  Clock::time_point m_killAt;
  Clock::time_point m_lastDraw{};
};

// Every log is there before the first handset is sent anything: a folder that cannot take
// them is the command line's fault, and no handset is flashed without its log.
bool CStation::OpenLogs() {
  if (m_options.logDir.empty()) return true;
  std::string error;
  if (!LogFolderWritable(m_options.logDir, error)) return UsageEnd(error), false;
  const std::time_t now = std::time(nullptr);
  for (size_t i = 0; i < m_handsets.size(); ++i)
    if (!m_handsets[i]->log.Create(m_options.logDir, m_status[i].device, now, error)) return UsageEnd(error), false;
  return true;
}

int CStation::UsageEnd(const std::string& why) {
  m_view.Note("tarvisel-cli: " + why + ": nothing was sent", true);
  const bool download = m_options.command == CliCommand::Download;
  for (auto& s : m_status) {
    Emit(EventObject(Seconds(), s.device, "started",
                     StartedBody(EngineCommandOf(m_options.command).value_or(EngineCommand::Download),
                                 download ? std::optional<std::string>(DownloadTypeName(m_options.type)) : std::nullopt,
                                 download ? std::optional<std::string>(m_options.image) : std::nullopt,
                                 SelectedSpeed(m_options))));
    Emit(EventObject(Seconds(), s.device, "finished", FinishedBody(kUsageOutcome, kExitUsage, 0)));
  }
  return kExitUsage;
}

void CStation::Spawn(size_t i) {
  Handset& h = *m_handsets[i];
  if (!h.process.Start(m_setup.command(m_status[i].device)))
    h.log.Line(std::string("cannot start the handset's process: ") + std::strerror(errno));
}

// The last events wait for a reader that is behind; Ctrl-C or SIGTERM ends the wait, and after
// one that ended every handset there is no wait.
void CStation::FinishOutput() {
  if (m_aborted) return m_json.Write();
  m_json.Finish(m_signals.Fd(), [this] {
    bool stop = false;
    for (int sig; (sig = m_signals.Next()) != 0;) stop |= sig != SIGCHLD;
    return stop;
  });
}

void CStation::Emit(const json& object) {
  if (m_options.json) m_json.Emit(object);
}

void CStation::HandleSignals() {
  for (int sig; (sig = m_signals.Next()) != 0;) {
    if (sig == SIGCHLD || m_aborted) continue;  // every pass reaps
    const auto now = Clock::now();
    if (sig == SIGTERM || (m_lastPress && now - *m_lastPress < kSecondPress)) Abort();
    else Stop();
    m_lastPress = now;
  }
}

void CStation::Stop() {
  m_stopped = true;
  m_view.Note("interrupt: Stop for every handset (press Ctrl-C again within 2 s to end them all)");
  for (auto& h : m_handsets) h->process.Signal(SIGINT);
}

void CStation::Abort() {
  m_aborted = true;
  m_killAt = Clock::now() + m_setup.abortGrace;
  m_view.Note("interrupt: ending every handset", true);
  for (auto& h : m_handsets) h->process.Signal(SIGTERM);
}

int CStation::Run() {
  if (m_signals.Fd() < 0) m_view.Note("Ctrl-C handling is not available", true);
  if (!OpenLogs()) return FinishOutput(), kExitUsage;
  for (size_t i = 0; i < m_handsets.size(); ++i) Spawn(i);
  m_view.Draw(m_status);

  while (!AllDone()) {
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners;  // handset, standard output (else error)
    if (m_signals.Fd() >= 0) fds.push_back({m_signals.Fd(), POLLIN, 0});
    // The reader of --json, polled with the rest: the loop never waits on it.
    const size_t jsonAt = fds.size();
    if (m_json.WaitingFd() >= 0) fds.push_back({m_json.WaitingFd(), POLLOUT, 0});
    const size_t first = fds.size();
    bool closing = false;
    for (size_t i = 0; i < m_handsets.size(); ++i) {
      const CHandsetProcess& p = m_handsets[i]->process;
      if (p.OutFd() >= 0) fds.push_back({p.OutFd(), POLLIN, 0}), owners.push_back({i, true});
      if (p.ErrFd() >= 0) fds.push_back({p.ErrFd(), POLLIN, 0}), owners.push_back({i, false});
      closing |= p.Closing();
    }
    const auto now = Clock::now();
    int timeout = -1;
    auto within = [&](Clock::time_point at) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - now).count();
      const int t = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
      timeout = timeout < 0 ? t : std::min(timeout, t);
    };
    if (m_console.errIsTerminal && m_view.NeedsDraw()) within(m_lastDraw + kDrawEvery);
    if (m_aborted) within(m_killAt);
    if (closing || m_signals.Fd() < 0) within(now + std::chrono::milliseconds(kReapPollMs));
    if (m_live.Active()) within(m_live.Due());

    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (m_signals.Fd() >= 0 && (fds[0].revents & POLLIN)) HandleSignals();
    if (jsonAt < first && fds[jsonAt].revents) m_json.Write();
    size_t k = first;
    for (size_t j = 0; j < owners.size(); ++j, ++k) {
      if (!fds[k].revents) continue;
      const size_t i = owners[j].first;
      Handset& h = *m_handsets[i];
      if (owners[j].second)
        h.process.ReadOut([&](const std::string& line) { PassOnHandsetLine(m_status[i], i, h.log, line, Seconds(), m_out); });
      else
        h.process.ReadErr();
    }
    for (auto& h : m_handsets) {
      h->process.Reap();
      if (m_aborted && Clock::now() >= m_killAt) h->process.Signal(SIGKILL);
    }
    for (size_t i = 0; i < m_handsets.size(); ++i) {
      Handset& h = *m_handsets[i];
      if (h.done || !h.process.Ended()) continue;
      h.done = true;
      ConcludeHandset(m_status[i], i, h.log, h.process, Seconds(), m_aborted, m_stopped, m_options, m_out);
    }
    for (const auto& s : m_status) m_live.Update(s, true);
    if (m_console.errIsTerminal && Clock::now() - m_lastDraw >= kDrawEvery) {
      m_view.Draw(m_status);
      m_lastDraw = Clock::now();
    }
  }
  // Nothing is left behind, whatever ended the loop: each process goes with its owner.
  m_handsets.clear();
  m_view.Summary(m_status);
  FinishOutput();
  return StationExitStatus(m_status);
}

}  // namespace

std::vector<std::string> HandsetCommand(const std::string& program, const CliOptions& o, const std::string& device) {
  // A watch's handsets get downloads.
  const std::optional<EngineCommand> command =
      o.command == CliCommand::Watch ? std::optional<EngineCommand>(EngineCommand::Download) : EngineCommandOf(o.command);
  std::vector<std::string> args = {program, command ? CommandName(*command) : ""};
  const bool download = command == EngineCommand::Download;
  if (download) args.push_back(o.image);
  args.insert(args.end(), {"--device", device, "--json", "--quiet"});
  if (download) args.insert(args.end(), {"--type", DownloadTypeName(o.type)});
  if (o.speedIdx) args.insert(args.end(), {"--speed", *o.speedIdx == 0 ? "57600" : "115200"});
  if (o.fontAddress) args.insert(args.end(), {"--font-address", *o.fontAddress});
  if (o.fontBlocks) args.insert(args.end(), {"--font-blocks", *o.fontBlocks});
  if (o.answer == CliAnswer::Yes) args.push_back("--yes");
  if (o.answer == CliAnswer::No) args.push_back("--no");
  if (o.timeoutSecs) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", *o.timeoutSecs);
    args.insert(args.end(), {"--timeout", text});
  }
  if (download && o.noHistory) args.push_back("--no-history");
  if (download && !o.historyFile.empty()) args.insert(args.end(), {"--history", o.historyFile});
  // The URL from the environment reaches the handset's process by its environment, not by a
  // command line that ps shows.
  if (download && !o.recordUrl.empty()) args.insert(args.end(), {"--record", o.recordUrl});
  if (download && !o.stationName.empty()) args.insert(args.end(), {"--station-name", o.stationName});
  return args;
}

std::optional<std::pair<std::string, std::string>> SameDeviceTwice(const std::vector<std::string>& devices) {
  // By what the names lead to (std::filesystem::equivalent will not compare device nodes): one
  // character device under two nodes, or one file under two names.
  auto same = [](const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (a == b) return true;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  };
  for (size_t i = 0; i < devices.size(); ++i)
    for (size_t j = i + 1; j < devices.size(); ++j)
      if (same(devices[i], devices[j])) return std::make_pair(devices[i], devices[j]);
  return std::nullopt;
}

int RunStation(const CliOptions& options, const std::vector<std::string>& devices, ConsoleStreams& console,
               const StationSetup& setup) {
  CStation station(options, devices, console, setup);
  return station.Run();
}
