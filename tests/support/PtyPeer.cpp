#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Independent of the device's own table on purpose: a wrong entry there must show here.
uint32_t BitsPerSecond(speed_t code) {
  switch (code) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
  }
}

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

CPtyPeer::CPtyPeer() {
  m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (m_master < 0) {
    m_error = std::string("posix_openpt: ") + std::strerror(errno);
    return;
  }
  std::array<char, 128> name{};
  if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
      ::ptsname_r(m_master, name.data(), name.size()) != 0) {
    m_error = std::string("pty setup: ") + std::strerror(errno);
    CloseFd(m_master);
    return;
  }
  ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
  ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
  // The master's own line discipline must pass the device's output untouched.
  termios raw{};
  if (::tcgetattr(m_master, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
  }
  m_slavePath = name.data();
  m_slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m_slave < 0) {
    m_error = "open " + m_slavePath + ": " + std::strerror(errno);
    CloseFd(m_master);
  }
}

CPtyPeer::~CPtyPeer() { HangUp(); }

uint32_t CPtyPeer::SlaveSpeed() const {
  termios t{};
  if (!SlaveAttributes(t)) return 0;
  return BitsPerSecond(::cfgetospeed(&t));
}

bool CPtyPeer::SlaveAttributes(termios& t) const {
  return m_slave >= 0 && ::tcgetattr(m_slave, &t) == 0;
}

bool CPtyPeer::SlaveExclusive() const {
  int exclusive = 0;
  return m_slave >= 0 && ::ioctl(m_slave, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool CPtyPeer::Write(const std::vector<uint8_t>& bytes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  size_t done = 0;
  while (done < bytes.size()) {
    if (m_master < 0) return false;
    const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    const int left = MillisLeft(deadline);
    if (left == 0) return false;
    pollfd p{m_master, POLLOUT, 0};
    ::poll(&p, 1, left);
  }
  return true;
}

std::vector<uint8_t> CPtyPeer::ReadUntil(
    const std::function<bool(const std::vector<uint8_t>&)>& done, int timeoutMs) {
  std::vector<uint8_t> got;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::array<uint8_t, 4096> buf;
  while (m_master >= 0 && !done(got)) {
    const ssize_t n = ::read(m_master, buf.data(), buf.size());
    if (n > 0) {
      got.insert(got.end(), buf.begin(), buf.begin() + n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;  // EIO: no slave open
    const int left = MillisLeft(deadline);
    if (left == 0) break;
    pollfd p{m_master, POLLIN, 0};
    ::poll(&p, 1, left);
  }
  return got;
}

std::vector<uint8_t> CPtyPeer::ReadUntil(size_t count, int timeoutMs) {
  return ReadUntil([count](const std::vector<uint8_t>& got) { return got.size() >= count; },
                   timeoutMs);
}

std::vector<uint8_t> CPtyPeer::ReadFor(int ms) {
  return ReadUntil([](const std::vector<uint8_t>&) { return false; }, ms);
}

void CPtyPeer::HangUp() {
  CloseFd(m_master);
  CloseFd(m_slave);
}

void CPtyPeer::CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}
