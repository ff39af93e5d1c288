#include "HandsetProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "ExitStatus.h"
#include "JsonEvents.h"

namespace {

constexpr size_t kMaxLine = size_t{1} << 20;  // no event of ours is longer
constexpr size_t kErrTail = 4096;             // of standard error, for a crash

std::string SignalText(int sig) {
  const char* name = sigdescr_np(sig);
  return "signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
}

}  // namespace

CHandsetProcess::~CHandsetProcess() {
  if (m_pid > 0 && !m_reaped) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

bool CHandsetProcess::Start(const std::vector<std::string>& argv) {
  m_started = Clock::now();
  auto fail = [this] {
    const int saved = errno;
    m_reaped = true;
    m_waitStatus = 127 << 8;
    errno = saved;
    return false;
  };
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return fail();
  CUniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
  if (pipe2(errPipe, O_CLOEXEC) != 0) return fail();
  CUniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
  CUniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devNull.Valid()) return fail();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid < 0) return fail();
  if (pid == 0) {
    // The new process: only calls that are safe after fork until exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a caller that dies ends its handsets as Ctrl-C twice would
    if (getppid() != parent) _exit(127);
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
  m_pid = pid;
  fcntl(outRead.Get(), F_SETFL, O_NONBLOCK);
  fcntl(errRead.Get(), F_SETFL, O_NONBLOCK);
  m_out = std::move(outRead);
  m_err = std::move(errRead);
  return true;
}

void CHandsetProcess::ReadOut(const std::function<void(const std::string&)>& onLine) {
  char buf[65536];
  while (m_out.Valid()) {
    const ssize_t n = ::read(m_out.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      if (!m_outBuf.empty()) onLine(m_outBuf);  // a last line without its line break
      m_outBuf.clear();
      m_out.Reset();
      return;
    }
    m_outBuf.append(buf, static_cast<size_t>(n));
    size_t from = 0;
    for (size_t nl; (nl = m_outBuf.find('\n', from)) != std::string::npos; from = nl + 1)
      onLine(m_outBuf.substr(from, nl - from));
    m_outBuf.erase(0, from);
    if (m_outBuf.size() > kMaxLine) m_outBuf.clear();
  }
}

void CHandsetProcess::ReadErr() {
  char buf[8192];
  while (m_err.Valid()) {
    const ssize_t n = ::read(m_err.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      m_err.Reset();
      return;
    }
    m_errTail.append(buf, static_cast<size_t>(n));
    if (m_errTail.size() > kErrTail) m_errTail.erase(0, m_errTail.size() - kErrTail);
  }
}

void CHandsetProcess::Signal(int sig) {
  if (m_pid > 0 && !m_reaped) kill(m_pid, sig);
}

void CHandsetProcess::Reap() {
  if (m_pid <= 0 || m_reaped) return;
  int status = 0;
  const pid_t r = waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid || (r < 0 && errno == ECHILD)) {
    m_reaped = true;
    m_waitStatus = r == m_pid ? status : 127 << 8;
  }
}

std::vector<std::string> CHandsetProcess::ErrTail(size_t max) const {
  std::vector<std::string> tail;
  std::istringstream lines(m_errTail);
  for (std::string l; std::getline(lines, l);) tail.push_back(l);
  if (tail.size() > max) tail.erase(tail.begin(), tail.end() - static_cast<long>(max));
  return tail;
}

ProcessEnd EndWithoutResult(int waitStatus, bool aborted, bool stopped) {
  ProcessEnd end;
  const bool signalled = WIFSIGNALED(waitStatus);
  end.signal = signalled ? WTERMSIG(waitStatus) : 0;
  end.code = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 0;
  end.how = signalled ? "ended by " + SignalText(end.signal) : "ended with status " + std::to_string(end.code);
  end.outcome = kCrashedOutcome;
  end.exit = end.code != 0 ? end.code : kExitNoReply;
  if (signalled) {
    end.exit = 128 + end.signal;
    const bool told = end.signal == SIGKILL || end.signal == SIGTERM || end.signal == SIGINT;
    if (aborted && told) {
      end.outcome = EndName(RunEnd::Interrupted);
      end.exit = kExitInterrupted;
    } else if (stopped && end.signal == SIGINT) {
      end.outcome = EndName(RunEnd::Stopped);
      end.exit = kExitInterrupted;
    }
  }
  return end;
}
