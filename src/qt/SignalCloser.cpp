#include "SignalCloser.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace {
// The write end for the handler; a signal handler can reach nothing else.
std::atomic<int> g_signalWriteFd{-1};

void OnSignal(int) {
  const int fd = g_signalWriteFd.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

CSignalCloser::CSignalCloser(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {
  if (::pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_signalWriteFd = m_fds[1];
  m_notifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
  connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
    char buffer[16];
    while (::read(m_fds[0], buffer, sizeof buffer) > 0) {
    }
    if (m_onSignal) m_onSignal();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : kSignals) sigaction(sig, &action, nullptr);
}

CSignalCloser::~CSignalCloser() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int sig : kSignals) sigaction(sig, &action, nullptr);
  g_signalWriteFd = -1;
  m_notifier.reset();
  for (int fd : m_fds)
    if (fd >= 0) ::close(fd);
}
