#include "InterruptWatcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace {
constexpr auto kSecondPressWindow = std::chrono::seconds(2);
// After an abort the run closes the port and returns; if a pause of the engine keeps it
// longer than this, the process ends anyway (the kernel closes the port).
constexpr int kAbortGraceMs = 10000;

sigset_t Signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

CInterruptWatcher::CInterruptWatcher(std::function<void()> onStop, std::function<void()> onAbort)
    : m_onStop(std::move(onStop)), m_onAbort(std::move(onAbort)) {}

bool CInterruptWatcher::Start() {
  const sigset_t set = Signals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  m_masked = true;
  m_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
  m_quitFd = eventfd(0, EFD_CLOEXEC);
  if (m_signalFd < 0 || m_quitFd < 0) return false;
  m_thread = std::thread([this] { Watch(); });
  return true;
}

CInterruptWatcher::~CInterruptWatcher() {
  if (m_thread.joinable()) {
    const uint64_t one = 1;
    (void)!write(m_quitFd, &one, sizeof one);
    m_thread.join();
  }
  if (m_signalFd >= 0) close(m_signalFd);
  if (m_quitFd >= 0) close(m_quitFd);
  if (m_masked) {
    // Presses that came too late for the watcher must not kill the process on unblocking.
    const sigset_t set = Signals();
    const timespec zero{};
    while (sigtimedwait(&set, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

void CInterruptWatcher::Watch() {
  std::chrono::steady_clock::time_point lastPress{};
  bool pressedBefore = false;
  bool aborted = false;
  while (true) {
    pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_quitFd, POLLIN, 0}};
    const int n = poll(fds, 2, aborted ? kAbortGraceMs : -1);
    if (n == 0) _exit(130);
    if (n < 0) continue;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    signalfd_siginfo info{};
    if (read(m_signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    if (aborted) continue;
    const auto now = std::chrono::steady_clock::now();
    if (info.ssi_signo == SIGTERM || (pressedBefore && now - lastPress < kSecondPressWindow)) {
      aborted = true;
      m_onAbort();
    } else {
      m_onStop();
    }
    pressedBefore = true;
    lastPress = now;
  }
}
