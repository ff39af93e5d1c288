#include "Station.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "ExitStatus.h"
#include "JsonEvents.h"
#include "LogDir.h"
#include "StationView.h"
#include "platform/UniqueFd.h"

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kSecondPress = std::chrono::seconds(2);
constexpr auto kDrawEvery = std::chrono::milliseconds(100);
// A process whose pipes are closed is gone or about to be: look for its status this often.
constexpr int kReapPollMs = 50;
constexpr size_t kMaxLine = size_t{1} << 20;  // no event of ours is longer
constexpr size_t kErrTail = 4096;             // of a handset process's standard error, for a crash
constexpr size_t kErrTailLines = 12;

sigset_t StationSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGCHLD);
  return set;
}

// SIGINT, SIGTERM and SIGCHLD as events on a descriptor for the time of the run.
class CStationSignals {
 public:
  CStationSignals() {
    const sigset_t set = StationSignalSet();
    m_masked = pthread_sigmask(SIG_BLOCK, &set, &m_old) == 0;
    if (m_masked) m_fd = CUniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  }
  ~CStationSignals() {
    if (!m_masked) return;
    m_fd.Reset();
    // A press that came after the last look must not end the process on unblocking.
    const sigset_t set = StationSignalSet();
    const timespec zero{};
    while (sigtimedwait(&set, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
  }
  CStationSignals(const CStationSignals&) = delete;
  CStationSignals& operator=(const CStationSignals&) = delete;
  int Fd() const { return m_fd.Get(); }

 private:
  bool m_masked = false;
  sigset_t m_old{};
  CUniqueFd m_fd;
};

std::string SignalText(int sig) {
  const char* name = sigdescr_np(sig);
  return "signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
}

struct HandsetProcess {
  pid_t pid = -1;
  CUniqueFd out, err;
  std::string outBuf, errTail;
  bool reaped = false;
  int waitStatus = 0;
  bool done = false;  // its result is in, and its process is gone
  Clock::time_point spawned;
  std::ofstream log;
};

class CStation {
 public:
  CStation(const CliOptions& options, const std::vector<std::string>& devices, ConsoleStreams& console,
           const StationSetup& setup)
      : m_options(options),
        m_console(console),
        m_setup(setup),
        m_start(Clock::now()),
        m_view(console.err, ConsoleStyle{console.errIsTerminal, options.quiet}, devices.size(), setup.columns),
        m_procs(devices.size()) {
    for (const auto& d : devices) {
      m_status.emplace_back();
      m_status.back().device = d;
    }
  }

  int Run();

 private:
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }
  void Spawn(size_t i);
  bool Fork(HandsetProcess& p, const std::vector<std::string>& argv);
  void ReadOut(size_t i);
  void ReadErr(size_t i);
  void HandleLine(size_t i, const std::string& line);
  void HandleSignals();
  void Stop();
  void Abort();
  void Reap();
  void Conclude(size_t i);
  void Emit(const json& object);
  void ToLog(size_t i, const std::string& text);
  bool AllDone() const {
    return std::all_of(m_procs.begin(), m_procs.end(), [](const HandsetProcess& p) { return p.done; });
  }

  const CliOptions& m_options;
  ConsoleStreams& m_console;
  const StationSetup& m_setup;
  const Clock::time_point m_start;
  CStationSignals m_signals;
  CStationView m_view;
  std::vector<HandsetStatus> m_status;
  std::vector<HandsetProcess> m_procs;
  bool m_outBroken = false;
  bool m_stopped = false;   // Ctrl-C once: every handset was asked to stop
  bool m_aborted = false;   // Ctrl-C twice or SIGTERM: every handset was told to end
  std::optional<Clock::time_point> m_lastPress;
  Clock::time_point m_killAt;
  Clock::time_point m_lastDraw{};
};

bool CStation::Fork(HandsetProcess& p, const std::vector<std::string>& argv) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
  CUniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
  if (pipe2(errPipe, O_CLOEXEC) != 0) return false;
  CUniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
  CUniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devNull.Valid()) return false;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t station = getpid();

  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The new process: only calls that are safe after fork until exec.
    setpgid(0, 0);                     // the terminal's Ctrl-C reaches the station alone, which hands it on
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a station that dies ends its handsets as Ctrl-C twice would
    if (getppid() != station) _exit(127);
    if (dup2(devNull.Get(), 0) < 0 || dup2(outWrite.Get(), 1) < 0 || dup2(errWrite.Get(), 2) < 0) _exit(127);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  p.pid = pid;
  p.spawned = Clock::now();
  fcntl(outRead.Get(), F_SETFL, O_NONBLOCK);
  fcntl(errRead.Get(), F_SETFL, O_NONBLOCK);
  p.out = std::move(outRead);
  p.err = std::move(errRead);
  return true;
}

void CStation::Spawn(size_t i) {
  HandsetProcess& p = m_procs[i];
  const std::string& device = m_status[i].device;
  if (!m_options.logDir.empty()) {
    const std::string path = HandsetLogPath(m_options.logDir, device, std::time(nullptr));
    p.log.open(path, std::ios::out | std::ios::app);
    if (!p.log.is_open()) m_view.HandsetLine(m_status[i], "cannot write the log file " + path, true);
  }
  if (!Fork(p, m_setup.command(device))) {
    ToLog(i, std::string("cannot start the handset's process: ") + std::strerror(errno));
    // Concluded as a process that could not run.
    p.spawned = Clock::now();
    p.reaped = true;
    p.waitStatus = 127 << 8;
  }
}

void CStation::Emit(const json& object) {
  if (!m_options.json || m_outBroken) return;
  if (!WriteJsonLine(m_console.out, object)) m_outBroken = true;
}

void CStation::ToLog(size_t i, const std::string& text) {
  std::ofstream& log = m_procs[i].log;
  if (log.is_open()) log << LogTimeStamp() << ' ' << text << '\n' << std::flush;
}

void CStation::ReadOut(size_t i) {
  HandsetProcess& p = m_procs[i];
  char buf[65536];
  while (p.out.Valid()) {
    const ssize_t n = ::read(p.out.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      if (!p.outBuf.empty()) HandleLine(i, p.outBuf);  // a last line without its line break
      p.outBuf.clear();
      p.out.Reset();
      return;
    }
    p.outBuf.append(buf, static_cast<size_t>(n));
    size_t from = 0;
    for (size_t nl; (nl = p.outBuf.find('\n', from)) != std::string::npos; from = nl + 1)
      HandleLine(i, p.outBuf.substr(from, nl - from));
    p.outBuf.erase(0, from);
    if (p.outBuf.size() > kMaxLine) p.outBuf.clear();
  }
}

void CStation::ReadErr(size_t i) {
  HandsetProcess& p = m_procs[i];
  char buf[8192];
  while (p.err.Valid()) {
    const ssize_t n = ::read(p.err.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      p.err.Reset();
      return;
    }
    p.errTail.append(buf, static_cast<size_t>(n));
    if (p.errTail.size() > kErrTail) p.errTail.erase(0, p.errTail.size() - kErrTail);
  }
}

void CStation::HandleLine(size_t i, const std::string& line) {
  HandsetStatus& s = m_status[i];
  json e = json::parse(line, nullptr, false);
  if (e.is_discarded() || !ApplyEvent(s, e)) {
    ToLog(i, "not an event of the handset's process: " + line.substr(0, 200));
    return;
  }
  // One clock for every handset's events, and the device as the station was given it.
  e["t"] = RoundedSeconds(Seconds());
  e["device"] = s.device;
  Emit(e);
  const std::string event = e["event"].get<std::string>();
  if (event == "log") {
    const std::string kind = e.value("kind", "");
    const std::string text = e.value("text", "");
    const bool box = kind == "message" || kind == "alert";
    ToLog(i, box ? FormatBoxText(text) : text);
    if (kind == "error" || kind == "alert" || kind == "warning") m_view.HandsetLine(s, box ? FormatBoxText(text) : text, true);
    else if (kind == "message" && !m_options.quiet) m_view.HandsetLine(s, FormatBoxText(text), false);
  }
  m_view.Changed(i, s, event);
}

void CStation::HandleSignals() {
  signalfd_siginfo info{};
  while (::read(m_signals.Fd(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGCHLD) continue;  // every pass reaps
    if (m_aborted) continue;
    const auto now = Clock::now();
    if (info.ssi_signo == SIGTERM || (m_lastPress && now - *m_lastPress < kSecondPress)) Abort();
    else Stop();
    m_lastPress = now;
  }
}

void CStation::Stop() {
  m_stopped = true;
  m_view.Note("interrupt: Stop for every handset (press Ctrl-C again within 2 s to end them all)");
  for (auto& p : m_procs)
    if (p.pid > 0 && !p.reaped) kill(p.pid, SIGINT);
}

void CStation::Abort() {
  m_aborted = true;
  m_killAt = Clock::now() + m_setup.abortGrace;
  m_view.Note("interrupt: ending every handset", true);
  for (auto& p : m_procs)
    if (p.pid > 0 && !p.reaped) kill(p.pid, SIGTERM);
}

void CStation::Reap() {
  for (auto& p : m_procs) {
    if (p.pid <= 0 || p.reaped) continue;
    int status = 0;
    const pid_t r = waitpid(p.pid, &status, WNOHANG);
    if (r == p.pid || (r < 0 && errno == ECHILD)) {
      p.reaped = true;
      p.waitStatus = r == p.pid ? status : 127 << 8;
    }
  }
}

void CStation::Conclude(size_t i) {
  HandsetProcess& p = m_procs[i];
  HandsetStatus& s = m_status[i];
  p.done = true;
  const bool signalled = WIFSIGNALED(p.waitStatus);
  const int sig = signalled ? WTERMSIG(p.waitStatus) : 0;
  const int code = WIFEXITED(p.waitStatus) ? WEXITSTATUS(p.waitStatus) : 0;
  const std::string how = signalled ? "ended by " + SignalText(sig) : "ended with status " + std::to_string(code);

  if (s.Finished()) {
    // The result stands; a process that then ended otherwise than it said is still worth a line.
    if (signalled || code != s.exit) {
      m_view.HandsetLine(s, "its process " + how + " after its result", true);
      ToLog(i, "the handset's process " + how + " after its result");
    }
    return;
  }

  const char* outcome = kCrashedOutcome;
  int exit = code != 0 ? code : kExitNoReply;
  const bool told = sig == SIGKILL || sig == SIGTERM || sig == SIGINT;
  if (signalled) {
    exit = 128 + sig;
    if (m_aborted && told) outcome = EndName(RunEnd::Interrupted), exit = kExitInterrupted;
    else if (m_stopped && sig == SIGINT) outcome = EndName(RunEnd::Stopped), exit = kExitInterrupted;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - p.spawned).count();
  if (!s.started) {
    const bool download = m_options.command == CliCommand::Download;
    const json started = EventObject(
        Seconds(), s.device, "started",
        StartedBody(EngineCommandOf(m_options.command).value_or(EngineCommand::Download),
                    download ? std::optional<std::string>(DownloadTypeName(m_options.type)) : std::nullopt,
                    download ? std::optional<std::string>(m_options.image) : std::nullopt, SelectedSpeed(m_options)));
    ApplyEvent(s, started);
    Emit(started);
  }
  json finished = EventObject(Seconds(), s.device, "finished", FinishedBody(outcome, exit, elapsed));
  if (signalled) finished["signal"] = sig;
  ApplyEvent(s, finished);
  Emit(finished);

  const std::string line = "the handset's process " + how + " without a result";
  ToLog(i, line);
  if (outcome == kCrashedOutcome) m_view.HandsetLine(s, line, true);
  // What it said last tells what went wrong (a sanitizer's report, an assertion).
  std::vector<std::string> tail;
  std::istringstream lines(p.errTail);
  for (std::string l; std::getline(lines, l);) tail.push_back(l);
  if (tail.size() > kErrTailLines) tail.erase(tail.begin(), tail.end() - static_cast<long>(kErrTailLines));
  for (const auto& l : tail) {
    ToLog(i, "  " + l);
    if (outcome == kCrashedOutcome) m_view.HandsetLine(s, "  " + l, false);
  }
  m_view.Changed(i, s, "finished");
}

int CStation::Run() {
  if (m_signals.Fd() < 0) m_view.Note("Ctrl-C handling is not available", true);
  if (!m_options.logDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(m_options.logDir, ec);
  }
  for (size_t i = 0; i < m_procs.size(); ++i) Spawn(i);
  m_view.Draw(m_status);

  while (!AllDone()) {
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners;  // handset, standard output (else error)
    if (m_signals.Fd() >= 0) fds.push_back({m_signals.Fd(), POLLIN, 0});
    bool closedUnreaped = false;
    for (size_t i = 0; i < m_procs.size(); ++i) {
      const HandsetProcess& p = m_procs[i];
      if (p.out.Valid()) fds.push_back({p.out.Get(), POLLIN, 0}), owners.push_back({i, true});
      if (p.err.Valid()) fds.push_back({p.err.Get(), POLLIN, 0}), owners.push_back({i, false});
      if (!p.out.Valid() && !p.err.Valid() && !p.reaped) closedUnreaped = true;
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
    if (closedUnreaped || m_signals.Fd() < 0) within(now + std::chrono::milliseconds(kReapPollMs));

    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    size_t k = 0;
    if (m_signals.Fd() >= 0) {
      if (fds[0].revents & POLLIN) HandleSignals();
      k = 1;
    }
    for (size_t j = 0; j < owners.size(); ++j, ++k) {
      if (!fds[k].revents) continue;
      if (owners[j].second) ReadOut(owners[j].first);
      else ReadErr(owners[j].first);
    }
    Reap();
    if (m_aborted && Clock::now() >= m_killAt)
      for (auto& p : m_procs)
        if (p.pid > 0 && !p.reaped) kill(p.pid, SIGKILL);
    for (size_t i = 0; i < m_procs.size(); ++i) {
      const HandsetProcess& p = m_procs[i];
      if (!p.done && p.reaped && !p.out.Valid() && !p.err.Valid()) Conclude(i);
    }
    if (m_console.errIsTerminal && Clock::now() - m_lastDraw >= kDrawEvery) {
      m_view.Draw(m_status);
      m_lastDraw = Clock::now();
    }
  }
  // Nothing is left behind, whatever ended the loop.
  for (auto& p : m_procs)
    if (p.pid > 0 && !p.reaped) {
      kill(p.pid, SIGKILL);
      waitpid(p.pid, nullptr, 0);
      p.reaped = true;
    }
  m_view.Summary(m_status);
  return StationExitStatus(m_status);
}

}  // namespace

std::vector<std::string> HandsetCommand(const std::string& program, const CliOptions& o, const std::string& device) {
  const std::optional<EngineCommand> command = EngineCommandOf(o.command);
  std::vector<std::string> args = {program, command ? CommandName(*command) : ""};
  const bool download = o.command == CliCommand::Download;
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
