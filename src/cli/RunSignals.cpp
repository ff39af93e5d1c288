#include "RunSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t RunSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGCHLD);
  return set;
}

}  // namespace

CRunSignals::CRunSignals() {
  const sigset_t set = RunSignalSet();
  m_masked = pthread_sigmask(SIG_BLOCK, &set, &m_old) == 0;
  if (m_masked) m_fd = CUniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

CRunSignals::~CRunSignals() {
  if (!m_masked) return;
  m_fd.Reset();
  const sigset_t set = RunSignalSet();
  const timespec zero{};
  while (sigtimedwait(&set, nullptr, &zero) > 0) {
  }
  // SIGINT and SIGTERM stay blocked: the run has decided the exit status, and a press while the
  // process winds down (a loaded machine may take a while) must not end it with another one.
  sigset_t after = m_old;
  sigaddset(&after, SIGINT);
  sigaddset(&after, SIGTERM);
  pthread_sigmask(SIG_SETMASK, &after, nullptr);
}

int CRunSignals::Next() {
  signalfd_siginfo info{};
  if (!m_fd.Valid() || ::read(m_fd.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}
