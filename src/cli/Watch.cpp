#include "Watch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "EventOutput.h"
#include "ExitStatus.h"
#include "HandsetEvents.h"
#include "HandsetProcess.h"
#include "HistoryDb.h"
#include "ImageDigest.h"
#include "JsonEvents.h"
#include "LivePorts.h"
#include "LogDir.h"
#include "PortFolder.h"
#include "RecordUploader.h"
#include "RunSignals.h"
#include "WatchView.h"
#include "platform/Translate.h"
#include "platform/UniqueFd.h"

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kDrawEvery = std::chrono::milliseconds(100);
constexpr int kReapPollMs = 50;

// The outcomes a try again may mend: the line or the handset's state, not the image or the answer.
bool Retryable(const std::string& outcome) {
  return outcome == EndName(RunEnd::NoReply) || outcome == EndName(RunEnd::HandsetRefused) ||
         outcome == EndName(RunEnd::LineBroke) || outcome == EndName(RunEnd::OutOfStep);
}

struct Port {
  std::string link;
  bool present = false;
  bool matched = true;
  std::string whyNot;
  bool leftAlone = false;  // present at the start under --new-only: not flashed until it goes
  std::unique_ptr<CHandsetProcess> process;
  HandsetStatus download;
  bool hasDownload = false;
  CHandsetLog log;
  int tries = 0;  // of the handset in hand
  std::optional<Clock::time_point> retryAt;
  bool unpluggedDuring = false;  // its link went while its download ran
  bool nextWaiting = false;      // plugged in again while its last download still ran
  std::string unit;              // of the handset in hand; empty: none

  bool Running() const { return process != nullptr; }
};

class CWatch {
 public:
  CWatch(const CliOptions& options, ConsoleStreams& console, const WatchSetup& setup)
      : m_options(options),
        m_console(console),
        m_setup(setup),
        m_start(Clock::now()),
        m_folder(options.portsDir),
        m_view(console.err, ConsoleStyle{console.errIsTerminal, false, console.colour}, setup.columns),
        m_json(options.json ? console.outFd : -1, console.out, [this] { return Seconds(); }),
        m_out{m_view.Handsets(), [this](const json& e) { Emit(e); }, false} {}

  int Run();

 private:
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }
  int Prepare();
  void OnChange(const PortChange& change, bool atStart);
  Port& PortOf(const std::string& link);
  void StartHandset(size_t i, bool newHandset);
  void Concluded(size_t i);
  void Retry(size_t i);
  void GiveUp(size_t i);
  void HandleSignals();
  void Drain();
  void Abort();
  void Emit(const json& object);
  void FinishOutput();
  void PortEvent(const std::string& link, const char* state);
  WatchCounts Counts() const;
  void Draw(bool force = false);
  bool OpenUnits();
  void ReadUnits();
  void TellRecordNews();
  size_t Running() const {
    return static_cast<size_t>(std::count_if(m_ports.begin(), m_ports.end(), [](const auto& p) { return p->Running(); }));
  }

  const CliOptions& m_options;
  ConsoleStreams& m_console;
  const WatchSetup& m_setup;
  const Clock::time_point m_start;
  CRunSignals m_signals;
  CPortFolder m_folder;
  CWatchView m_view;
  CEventOutput m_json;
  HandsetOutlets m_out;
  std::vector<std::unique_ptr<Port>> m_ports;  // in the order they first appeared
  std::map<std::string, size_t> m_byLink;
  CLivePorts m_live{m_options};
  int m_completed = 0, m_failed = 0;
  bool m_draining = false;  // Ctrl-C once: no new downloads
  bool m_aborted = false;   // Ctrl-C twice or SIGTERM
  bool m_ended = false;
  Clock::time_point m_killAt;
  Clock::time_point m_lastDraw{};
  // --units-from: the units scanned and not yet given to a handset, in order.
  CUniqueFd m_unitsFd;
  std::string m_unitsBuf;
  std::deque<std::string> m_units;
  std::unique_ptr<CRecordUploader> m_uploader;
};

bool CWatch::OpenUnits() {
  if (m_options.unitsFrom.empty()) return true;
  struct stat st {};
  // A FIFO is opened for writing too, so that a scanner's program that ends and starts again
  // is no end of the units.
  const bool fifo = ::stat(m_options.unitsFrom.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  m_unitsFd.Reset(::open(m_options.unitsFrom.c_str(), (fifo ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC));
  if (!m_unitsFd.Valid()) {
    m_view.Handsets().Note("tarvisel-cli: --units-from " + m_options.unitsFrom + ": " + std::strerror(errno), true);
    return false;
  }
  ReadUnits();
  return true;
}

void CWatch::ReadUnits() {
  char buf[4096];
  while (m_unitsFd.Valid()) {
    const ssize_t n = ::read(m_unitsFd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      // The end of a file (or a terminal closed): the units it gave are all there will be.
      m_unitsFd.Reset();
      break;
    }
    m_unitsBuf.append(buf, static_cast<size_t>(n));
  }
  size_t end;
  while ((end = m_unitsBuf.find('\n')) != std::string::npos || (!m_unitsFd.Valid() && !m_unitsBuf.empty())) {
    if (end == std::string::npos) end = m_unitsBuf.size();
    std::string unit = m_unitsBuf.substr(0, end);
    m_unitsBuf.erase(0, std::min(end + 1, m_unitsBuf.size()));
    // A scanner's line ends with CR LF, or with spaces.
    while (!unit.empty() && (unit.back() == '\r' || unit.back() == ' ' || unit.back() == '\t')) unit.pop_back();
    while (!unit.empty() && (unit.front() == ' ' || unit.front() == '\t')) unit.erase(0, 1);
    if (unit.empty()) continue;
    m_units.push_back(unit);
    m_view.Handsets().Note("unit " + unit + " scanned: for the next handset plugged in (" +
                           std::to_string(m_units.size()) + " waiting)");
  }
}

void CWatch::TellRecordNews() {
  if (!m_uploader) return;
  const std::string news = m_uploader->TakeNews();
  if (!news.empty()) m_view.Handsets().Note(news, news.find("cannot") != std::string::npos);
}

void CWatch::Emit(const json& object) {
  if (m_options.json) m_json.Emit(object);
}

// The last events wait for a reader that is behind; Ctrl-C or SIGTERM ends the wait, and after
// one that ended every handset there is no wait.
void CWatch::FinishOutput() {
  if (m_aborted) return m_json.Write();
  m_json.Finish(m_signals.Fd(), [this] {
    bool stop = false;
    for (int sig; (sig = m_signals.Next()) != 0;) stop |= sig != SIGCHLD;
    return stop;
  });
}

void CWatch::PortEvent(const std::string& link, const char* state) {
  Emit(EventObject(Seconds(), link, "port", {{"state", state}}));
}

WatchCounts CWatch::Counts() const {
  WatchCounts c{m_completed, m_failed, 0};
  for (const auto& p : m_ports)
    if (p->Running() || p->retryAt) ++c.inProgress;
  return c;
}

// What must hold before any handset is flashed: an image to send (else the exit status of a
// refused image, as a download's), a folder for the logs (else a usage error).
int CWatch::Prepare() {
  std::string error;
  if (!IsImageFile(m_options.image, error)) {
    m_view.Handsets().Note("tarvisel-cli: " + std::string(Tr("cannot use the image")) + " " + m_options.image + ": " + error, true);
    return kExitRefused;
  }
  if (!m_options.logDir.empty() && !LogFolderWritable(m_options.logDir, error)) {
    m_view.Handsets().Note("tarvisel-cli: " + error, true);
    return kExitUsage;
  }
  if (!m_folder.Start(error)) {
    m_view.Handsets().Note("tarvisel-cli: " + error, true);
    return kExitUsage;
  }
  // Said once here rather than by every handset's process at its end.
  const std::string history = HistoryPathOf(m_options);
  if (!history.empty() && !CHistoryDb::Open(history, CHistoryDb::Access::Append, error))
    m_view.Handsets().Note("history: the downloads will not be recorded in " + history + ": " + error, true);
  if (!OpenUnits()) return kExitUsage;
  // Each handset's process sends its own row at its end; this one sends what they could not.
  const std::string url = RecordUrlOf(m_options);
  if (!url.empty() && !history.empty()) m_uploader = std::make_unique<CRecordUploader>(CRecordUploader::Setup{url, history});
  return kExitOk;
}

Port& CWatch::PortOf(const std::string& link) {
  const auto it = m_byLink.find(link);
  if (it != m_byLink.end()) return *m_ports[it->second];
  m_byLink[link] = m_ports.size();
  m_ports.push_back(std::make_unique<Port>());
  m_ports.back()->link = link;
  m_ports.back()->download.device = link;
  return *m_ports.back();
}

void CWatch::OnChange(const PortChange& change, bool atStart) {
  Port& p = PortOf(change.path);
  const size_t i = m_byLink[change.path];
  m_view.Handsets().MarkChanged();
  if (change.kind == PortChange::Kind::Gone) {
    p.present = false;
    p.leftAlone = false;
    p.nextWaiting = false;
    PortEvent(p.link, "gone");
    m_view.PortLine(p.link, "unplugged");
    if (p.Running()) p.unpluggedDuring = true;
    if (p.retryAt) GiveUp(i);
    return;
  }
  p.present = true;
  p.unpluggedDuring = p.Running() ? p.unpluggedDuring : false;
  PortEvent(p.link, "appeared");
  p.matched = MatchesPort(p.link, m_options.matches, m_setup.facts, p.whyNot);
  if (!p.matched) {
    m_view.PortLine(p.link, "plugged in, not matched (" + p.whyNot + ")");
    return;
  }
  if (atStart && m_options.newOnly) {
    p.leftAlone = true;
    m_view.PortLine(p.link, "present at the start: left alone (--new-only)");
    return;
  }
  if (m_draining || m_aborted) {
    m_view.PortLine(p.link, "plugged in: not flashed, the watch is ending");
    return;
  }
  if (p.Running()) {
    // One handset per link at a time: the new one waits for the last one's end.
    p.nextWaiting = true;
    m_view.PortLine(p.link, "plugged in again: waits for the download of the last one to end");
    return;
  }
  m_view.PortLine(p.link, "plugged in");
  StartHandset(i, true);
}

void CWatch::StartHandset(size_t i, bool newHandset) {
  Port& p = *m_ports[i];
  p.retryAt.reset();
  if (newHandset) {
    p.tries = 0;
    p.log.Close();
    p.unit.clear();
    if (!m_units.empty()) {
      p.unit = m_units.front();
      m_units.pop_front();
      m_view.PortLine(p.link, "gets unit " + p.unit);
    } else if (!m_options.unitsFrom.empty()) {
      m_view.PortLine(p.link, "no unit scanned: recorded without one", true);
    }
    std::string error;
    if (!m_options.logDir.empty() && !p.log.Create(m_options.logDir, p.link, std::time(nullptr), error))
      m_view.PortLine(p.link, error + ": flashed without a log", true);
  }
  ++p.tries;
  p.unpluggedDuring = false;
  p.download = HandsetStatus{};
  p.download.device = p.link;
  p.download.unit = p.unit;
  p.hasDownload = true;
  p.process = std::make_unique<CHandsetProcess>();
  std::vector<std::string> command = m_setup.command(p.link);
  if (!p.unit.empty()) command.insert(command.end(), {"--unit", p.unit});
  if (!p.process->Start(command))
    p.log.Line(std::string("cannot start the handset's process: ") + std::strerror(errno));
}

void CWatch::Concluded(size_t i) {
  Port& p = *m_ports[i];
  m_view.Handsets().MarkChanged();
  const bool ok = p.download.exit == kExitOk && p.download.Finished();
  const bool again = !ok && Retryable(p.download.outcome.value_or("")) && p.tries <= m_options.retries &&
                     p.present && !p.unpluggedDuring && !p.nextWaiting && !m_draining && !m_aborted;
  p.process.reset();
  if (m_uploader) m_uploader->Nudge();
  if (ok) {
    ++m_completed;
    m_view.Counts(Counts());
  } else if (again) {
    p.retryAt = Clock::now() + m_setup.retryPause;
    m_view.PortLine(p.link, "try " + std::to_string(p.tries + 1) + " of " + std::to_string(m_options.retries + 1) +
                                " in a moment");
  } else {
    ++m_failed;
    m_view.Counts(Counts());
  }
  if (p.nextWaiting && p.present && !m_draining && !m_aborted) {
    p.nextWaiting = false;
    m_view.PortLine(p.link, "plugged in");
    StartHandset(i, true);
  }
}

void CWatch::Retry(size_t i) {
  Port& p = *m_ports[i];
  std::error_code ec;
  // A link whose tty went with the handset is about to go too.
  if (!p.present || !std::filesystem::exists(p.link, ec)) return GiveUp(i);
  StartHandset(i, false);
}

void CWatch::GiveUp(size_t i) {
  m_view.Handsets().MarkChanged();
  m_ports[i]->retryAt.reset();
  ++m_failed;
  m_view.Counts(Counts());
}

void CWatch::HandleSignals() {
  for (int sig; (sig = m_signals.Next()) != 0;) {
    if (sig == SIGCHLD || m_aborted) continue;  // every pass reaps
    // The first press lets the running downloads finish, which may take minutes: a second
    // one ends them whenever it comes.
    if (sig == SIGTERM || m_draining) Abort();
    else Drain();
  }
}

void CWatch::Drain() {
  m_draining = true;
  m_view.Handsets().MarkChanged();
  for (size_t i = 0; i < m_ports.size(); ++i)
    if (m_ports[i]->retryAt) GiveUp(i);
  const size_t running = Running();
  if (running == 0) m_view.Handsets().Note("interrupt: no download is running: the watch ends");
  else
    m_view.Handsets().Note("interrupt: no new downloads; the " +
                           (running == 1 ? std::string("one running finishes") : std::to_string(running) + " running finish") +
                           " (press Ctrl-C again to end " + (running == 1 ? "it)" : "them)"));
}

void CWatch::Abort() {
  m_aborted = true;
  m_view.Handsets().MarkChanged();
  m_killAt = Clock::now() + m_setup.abortGrace;
  m_view.Handsets().Note("interrupt: ending every handset", true);
  for (size_t i = 0; i < m_ports.size(); ++i) {
    if (m_ports[i]->retryAt) GiveUp(i);
    if (m_ports[i]->Running()) m_ports[i]->process->Signal(SIGTERM);
  }
}

void CWatch::Draw(bool force) {
  if (!m_console.errIsTerminal) return;
  if (!force && Clock::now() - m_lastDraw < kDrawEvery) return;
  std::vector<PortShown> shown;
  for (const auto& p : m_ports) {
    PortShown s;
    s.link = p->link;
    s.download = p->hasDownload ? &p->download : nullptr;
    s.retrying = p->retryAt.has_value();
    if (!p->present) s.state = "unplugged";
    else if (!p->matched) s.state = "not matched (" + p->whyNot + ")";
    else if (p->leftAlone) s.state = "left alone (present at the start)";
    else if (p->retryAt) s.state = "try " + std::to_string(p->tries + 1) + " of " + std::to_string(m_options.retries + 1) + " in a moment";
    else if (p->nextWaiting) s.state = "plugged in again: waits";
    else if (!p->hasDownload) s.state = "waiting";
    if (s.download && !p->present && !p->Running() && !p->download.Finished()) s.download = nullptr;
    shown.push_back(std::move(s));
  }
  const std::string note = m_ended     ? ""
                           : m_aborted ? "ending every handset"
                           : m_draining ? "no new downloads (Ctrl-C again ends the running ones)"
                                        : "";
  m_view.Draw(shown, Counts(), note);
  m_lastDraw = Clock::now();
}

int CWatch::Run() {
  if (m_signals.Fd() < 0) m_view.Handsets().Note("Ctrl-C handling is not available", true);
  if (const int status = Prepare(); status != kExitOk) return FinishOutput(), status;
  m_view.Handsets().Note("watching " + m_options.portsDir + " (Ctrl-C: no new downloads; twice: end them)");
  for (const auto& change : m_folder.TakeChanges()) OnChange(change, true);
  Draw(true);

  while (true) {
    if (m_aborted && Running() == 0) break;
    if (m_draining && Running() == 0) break;
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners;  // port, standard output (else error)
    if (m_signals.Fd() >= 0) fds.push_back({m_signals.Fd(), POLLIN, 0});
    fds.push_back({m_folder.Fd(), POLLIN, 0});
    const size_t folderAt = fds.size() - 1;
    // The reader of --json, polled with the rest: the loop never waits on it.
    const int jsonAt = m_json.WaitingFd() >= 0 ? static_cast<int>(fds.size()) : -1;
    if (jsonAt >= 0) fds.push_back({m_json.WaitingFd(), POLLOUT, 0});
    const int unitsAt = m_unitsFd.Valid() ? static_cast<int>(fds.size()) : -1;
    if (unitsAt >= 0) fds.push_back({m_unitsFd.Get(), POLLIN, 0});
    const size_t fixed = fds.size();
    bool closing = false;
    const auto now = Clock::now();
    int timeout = -1;
    auto within = [&](Clock::time_point at) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - now).count();
      const int t = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
      timeout = timeout < 0 ? t : std::min(timeout, t);
    };
    for (size_t i = 0; i < m_ports.size(); ++i) {
      const Port& p = *m_ports[i];
      if (p.retryAt) within(*p.retryAt);
      if (!p.Running()) continue;
      if (p.process->OutFd() >= 0) fds.push_back({p.process->OutFd(), POLLIN, 0}), owners.push_back({i, true});
      if (p.process->ErrFd() >= 0) fds.push_back({p.process->ErrFd(), POLLIN, 0}), owners.push_back({i, false});
      closing |= p.process->Closing();
    }
    if (m_console.errIsTerminal && m_view.Handsets().NeedsDraw()) within(m_lastDraw + kDrawEvery);
    if (m_aborted) within(m_killAt);
    if (closing || m_signals.Fd() < 0) within(now + std::chrono::milliseconds(kReapPollMs));
    if (m_uploader) within(now + std::chrono::seconds(1));  // its news
    if (m_live.Active()) within(m_live.Due());

    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (m_signals.Fd() >= 0 && (fds[0].revents & POLLIN)) HandleSignals();
    // The units first: a scan and its handset's link may come in the same turn.
    if (unitsAt >= 0 && fds[static_cast<size_t>(unitsAt)].revents) ReadUnits();
    if (fds[folderAt].revents & POLLIN)
      for (const auto& change : m_folder.TakeChanges()) OnChange(change, false);
    if (jsonAt >= 0 && fds[static_cast<size_t>(jsonAt)].revents) m_json.Write();
    TellRecordNews();
    for (size_t j = 0; j < owners.size(); ++j) {
      if (!fds[fixed + j].revents) continue;
      const size_t i = owners[j].first;
      Port& p = *m_ports[i];
      if (!p.Running()) continue;
      if (owners[j].second)
        p.process->ReadOut([&](const std::string& line) { PassOnHandsetLine(p.download, i, p.log, line, Seconds(), m_out); });
      else
        p.process->ReadErr();
    }
    for (size_t i = 0; i < m_ports.size(); ++i) {
      Port& p = *m_ports[i];
      if (!p.Running()) continue;
      p.process->Reap();
      if (m_aborted && Clock::now() >= m_killAt) p.process->Signal(SIGKILL);
      if (!p.process->Ended()) continue;
      ConcludeHandset(p.download, i, p.log, *p.process, Seconds(), m_aborted, false, m_options, m_out);
      Concluded(i);
    }
    for (size_t i = 0; i < m_ports.size(); ++i)
      if (m_ports[i]->retryAt && Clock::now() >= *m_ports[i]->retryAt) Retry(i);
    for (const auto& p : m_ports) m_live.Update(p->download, p->present);
    Draw();
  }
  m_ended = true;
  m_view.Handsets().MarkChanged();
  Draw(true);
  m_ports.clear();  // each process goes with its port
  if (m_uploader) {
    const auto report = m_uploader->Finish(Clock::now() + std::chrono::seconds(2));
    if (!report.drained)
      m_view.Handsets().Note("record: " + std::to_string(report.pending) + " row(s) wait in the outbox for the shared record" +
                                 (report.error.empty() ? std::string() : " (" + report.error + ")"),
                             true);
  }
  const WatchCounts c{m_completed, m_failed, 0};
  const int status = m_aborted ? kExitInterrupted : m_failed == 0 ? kExitOk : kExitNoReply;
  m_view.Handsets().Note("watch: " + CountsText(c) + "; exit " + std::to_string(status));
  FinishOutput();
  return status;
}

}  // namespace

bool MatchesPort(const std::string& link, const std::vector<UsbId>& matches, CDeviceFacts* facts, std::string& why) {
  if (matches.empty()) return true;
  std::error_code ec;
  const std::filesystem::path tty = std::filesystem::canonical(link, ec);
  const auto adapter = !ec && facts ? facts->Adapter(tty.string()) : std::nullopt;
  if (!adapter || adapter->vendorId.empty() || adapter->productId.empty()) {
    why = "no USB ids known for it";
    return false;
  }
  const UsbId id{adapter->vendorId, adapter->productId};
  if (std::find(matches.begin(), matches.end(), id) != matches.end()) return true;
  why = "USB " + id.vendor + ":" + id.product;
  return false;
}

int RunWatch(const CliOptions& options, ConsoleStreams& console, const WatchSetup& setup) {
  CWatch watch(options, console, setup);
  return watch.Run();
}
