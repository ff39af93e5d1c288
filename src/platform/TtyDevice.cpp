#include "platform/TtyDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <span>
#include <system_error>

#include "platform/Trace.h"
#include "platform/TtyLineTime.h"
#include "platform/TtyOpenError.h"
#include "platform/TtyTermios.h"
#include "platform/Translate.h"

namespace {

constexpr size_t kReadChunk = 512;

std::string ErrnoText(int err) { return std::generic_category().message(err); }

// Modem-line ioctls fail this way on a pty, which has no modem lines.
bool NoModemLines(int err) { return err == ENOTTY || err == EINVAL; }

std::chrono::nanoseconds SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

}  // namespace

CTtyDevice::CTtyDevice() : m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (m_wakeFd < 0) trace::Printf("tty: no wake channel: %s\n", ErrnoText(errno).c_str());
  m_ready.reserve(2 * kReadChunk);
}

CTtyDevice::~CTtyDevice() {
  Close();
  if (m_wakeFd >= 0) ::close(m_wakeFd);
}

bool CTtyDevice::Open(const std::string& path) {
  if (IsOpen()) Close();
  if (m_wakeFd < 0) {
    SetLastError(Tr("Cannot watch the serial port: the system refused an event channel."));
    return false;
  }
  if (path.empty()) {
    SetLastError(tty::OpenErrorText(path, ENOENT));
    return false;
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    trace::Printf("tty: open %s: %s\n", path.c_str(), ErrnoText(err).c_str());
    // Kept out by another's exclusive flag: its lock, where it took one, names it.
    SetLastError(tty::OpenErrorText(path, err, err == EBUSY ? tty::LockHolderOfPath(path) : std::nullopt));
    return false;
  }
  if (!::isatty(fd)) {
    ::close(fd);
    SetLastError(tty::NotATtyText(path));
    return false;
  }
  // The exclusive flag does not keep root out, nor see the lock of a terminal program that
  // only locks: the lock does both. It goes with the descriptor's close.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      SetLastError(tty::InUseText(path, tty::LockHolderOfFd(fd)));
      ::close(fd);
      return false;
    }
    trace::Printf("tty: lock %s: %s\n", path.c_str(), ErrnoText(err).c_str());
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    const int err = errno;
    ::close(fd);
    SetLastError(TrFormat("Cannot take serial port \"%s\" for this program alone: %s.", path.c_str(),
                          ErrnoText(err).c_str()));
    return false;
  }
  m_lowLatency.Request(tty::DeviceSerialInfoIoctl(fd));
  ResetLineTime();
  {
    std::lock_guard lock(m_ioMutex);
    ResetReceiveState();
    serial_icounter_struct counts{};
    m_countersKnown = ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
    if (m_countersKnown) m_counters = {counts.overrun, counts.buf_overrun};
    m_fd.store(fd);
  }
  SetLastError({});
  return true;
}

bool CTtyDevice::IsOpen() const { return m_fd.load() >= 0; }

bool CTtyDevice::Configure(const SerialSettings& settings) {
  const int fd = m_fd.load();
  if (fd < 0) {
    SetLastError(Tr("The serial port is not open."));
    return false;
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    SetLastError(TrFormat("Cannot read the serial port settings: %s.", ErrnoText(errno).c_str()));
    return false;
  }
  std::string error;
  if (!tty::ApplySettings(t, settings, error)) {
    SetLastError(error);
    return false;
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    SetLastError(TrFormat("The serial port refused the settings: %s.", ErrnoText(errno).c_str()));
    return false;
  }
  // tcsetattr succeeds when any part was taken; read back what the driver really runs.
  termios got{};
  if (::tcgetattr(fd, &got) != 0 || !tty::SettingsTook(t, got)) {
    SetLastError(settings.parity == 0
                     ? TrFormat("The serial port cannot run at %lu bit/s with %d data bits and no parity.",
                                static_cast<unsigned long>(settings.baud), static_cast<int>(settings.byteSize))
                     : TrFormat("The serial port cannot run at %lu bit/s with %d data bits and parity.",
                                static_cast<unsigned long>(settings.baud), static_cast<int>(settings.byteSize)));
    return false;
  }
  // Bytes already written keep the time they were given at the old speed.
  m_lineBaud.store(settings.baud);
  // After the speed is set: leaving speed 0 (hang-up) raises DTR again.
  ClearDtr();
  return true;
}

void CTtyDevice::Purge() {
  const int fd = m_fd.load();
  if (fd < 0) return;
  if (::tcflush(fd, TCIOFLUSH) != 0) trace::Printf("tty: purge: %s\n", ErrnoText(errno).c_str());
  // What the driver still held will not go out; the line time kept for it is void.
  m_lineFreeNs.store(0);
  // The receive side drops its partial mark at its next call; its lock may be held in a wait.
  m_purgeRequested.store(true);
}

void CTtyDevice::ClearDtr() {
  const int fd = m_fd.load();
  if (fd < 0) return;
  int bits = TIOCM_DTR;
  if (::ioctl(fd, TIOCMBIC, &bits) != 0 && !NoModemLines(errno)) {
    trace::Printf("tty: clear DTR: %s\n", ErrnoText(errno).c_str());
  }
}

void CTtyDevice::Close() {
  const int fd = m_fd.load();
  if (fd < 0) return;
  m_closing.store(true);
  Wake();
  std::lock_guard lock(m_ioMutex);
  m_lowLatency.Restore(tty::DeviceSerialInfoIoctl(fd));
  // The exclusive flag belongs to the tty, not to this descriptor: on a pty it outlives the
  // close and would keep every later open but root's out with EBUSY.
  ::ioctl(fd, TIOCNXCL);
  {
    std::lock_guard fdLock(m_fdMutex);
    ::close(fd);
    m_fd.store(-1);
    ResetLineTime();
  }
  ResetReceiveState();
  DrainWake();
  m_closing.store(false);
}

size_t CTtyDevice::BytesWaiting() {
  std::lock_guard lock(m_ioMutex);
  const int fd = m_fd.load();
  if (fd < 0 || m_closing.load()) return 0;
  ApplyPurgeRequest();
  size_t waiting = m_ready.size() + m_decoder.HeldData();
  if (m_gone) return waiting;
  int queued = 0;
  if (::ioctl(fd, FIONREAD, &queued) == 0) {
    if (queued > 0) waiting += static_cast<size_t>(queued);
  } else if (errno == EIO) {
    MarkGone(EIO);
    return waiting;
  }
  CheckLineCounters(fd);
  return waiting;
}

size_t CTtyDevice::Read(uint8_t* dst, size_t max) {
  if (dst == nullptr || max == 0) return 0;
  std::lock_guard lock(m_ioMutex);
  const int fd = m_fd.load();
  if (fd < 0 || m_closing.load()) return 0;
  ApplyPurgeRequest();
  size_t delivered = TakeReady(dst, max);
  std::array<uint8_t, kReadChunk> raw;
  // Read on while the kernel fills the request: a mark split by the request size must not
  // end a burst with data still queued.
  while (delivered < max && !m_gone) {
    const size_t want = std::min(max - delivered, raw.size());
    const ssize_t n = ::read(fd, raw.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) MarkGone(errno);
      break;
    }
    if (n == 0) break;
    m_decoder.Decode(std::span<const uint8_t>(raw.data(), static_cast<size_t>(n)), m_ready);
    delivered += TakeReady(dst + delivered, max - delivered);
    if (static_cast<size_t>(n) < want) break;
  }
  // A damaged byte is noise on the line, not a hang-up: it is dropped, the frame that held it
  // fails its check and is sent again. Only a device that went away ends the link.
  const CParmrkDecoder::Marks marks = m_decoder.TakeMarks();
  if (marks.breaks != 0 || marks.errors != 0) {
    trace::Printf("tty: line noise: %zu bytes with framing or parity errors dropped, %zu breaks\n", marks.errors,
                  marks.breaks);
  }
  return delivered;
}

bool CTtyDevice::WriteByte(uint8_t b, int timeoutMs) { return Write(&b, 1, timeoutMs) == 1; }

size_t CTtyDevice::Write(const uint8_t* bytes, size_t count, int timeoutMs) {
  const int fd = m_fd.load();
  if (fd < 0) return 0;
  using Clock = std::chrono::steady_clock;
  const auto timeout = std::chrono::milliseconds(std::max(timeoutMs, 0));
  // Each byte may wait the whole time-out for room: the deadline moves on with every byte taken.
  Clock::time_point deadline = Clock::now() + timeout;
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n > 0) {
      NoteWritten(static_cast<size_t>(n));
      done += static_cast<size_t>(n);
      if (done < count) deadline = Clock::now() + timeout;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      trace::Printf("tty: write: %s\n", ErrnoText(errno).c_str());
      return done;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return done;
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno != EINTR) return done;
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return done;
  }
  return done;
}

bool CTtyDevice::SetEventMask(uint32_t mask) {
  const uint32_t old = m_mask.exchange(mask);
  m_pending.fetch_and(mask);
  if (old != mask) Wake();
  return IsOpen();
}

bool CTtyDevice::WaitEvent(uint32_t& events) {
  events = 0;
  std::lock_guard lock(m_ioMutex);
  for (;;) {
    const int fd = m_fd.load();
    if (fd < 0 || m_closing.load()) return false;
    ApplyPurgeRequest();
    const uint32_t mask = m_mask.load();
    if (mask == 0) return true;
    uint32_t ready = m_pending.exchange(0) & mask;
    if (!m_ready.empty()) ready |= mask & EV_RXCHAR;
    if (m_gone && !m_goneReported) {
      m_goneReported = true;
      ready |= EV_ERR;
    }
    if (ready != 0) {
      events = ready;
      return true;
    }
    // Once the device is gone its descriptor polls ready for ever: watch only the wake channel.
    const short want = (mask & EV_RXCHAR) != 0 ? (POLLIN | POLLPRI) : 0;
    std::array<pollfd, 2> fds{{{m_wakeFd, POLLIN, 0}, {fd, want, 0}}};
    const nfds_t count = m_gone ? 1 : 2;
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      trace::Printf("tty: wait: %s\n", ErrnoText(errno).c_str());
      return false;
    }
    if (fds[0].revents != 0) {
      DrainWake();
      return !m_closing.load();  // a wait ended by Close failed: there is no device left
    }
    if (count < 2) continue;
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      MarkGone(EIO);  // reported by the next pass
      continue;
    }
    if ((fds[1].revents & (POLLIN | POLLPRI)) != 0) {
      events = mask & EV_RXCHAR;
      return true;
    }
  }
}

void CTtyDevice::Wake() {
  if (m_wakeFd < 0) return;
  const uint64_t one = 1;
  // EAGAIN only when the counter is saturated, which wakes the waiter just as well.
  [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

size_t CTtyDevice::PendingOutput() {
  std::lock_guard lock(m_fdMutex);
  const int fd = m_fd.load();
  if (fd < 0) return 0;
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  const size_t onLine = tty::BytesStillOnTheLine(std::chrono::nanoseconds(m_lineFreeNs.load()),
                                                 SteadyNow(), m_lineBaud.load());
  return std::max(static_cast<size_t>(queued), onLine);
}

size_t CTtyDevice::QueuedOutput() {
  std::lock_guard lock(m_fdMutex);
  const int fd = m_fd.load();
  if (fd < 0) return 0;
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  return static_cast<size_t>(queued);
}

std::string CTtyDevice::LastError() const {
  std::lock_guard lock(m_errorMutex);
  return m_lastError;
}

void CTtyDevice::SetLastError(std::string text) {
  std::lock_guard lock(m_errorMutex);
  m_lastError = std::move(text);
}

void CTtyDevice::ResetReceiveState() {
  m_decoder.Reset();
  m_ready.clear();
  m_gone = false;
  m_goneReported = false;
  m_countersKnown = false;
  m_counters = {};
  m_pending.store(0);
  m_purgeRequested.store(false);
}

void CTtyDevice::ApplyPurgeRequest() {
  if (!m_purgeRequested.exchange(false)) return;
  m_decoder.Reset();
  m_ready.clear();
}

void CTtyDevice::MarkGone(int err) {
  if (m_gone) return;
  m_gone = true;
  trace::Printf("tty: device gone: %s\n", ErrnoText(err).c_str());
  SetLastError(Tr("The serial port went away (the cable or USB adapter was pulled, or the other "
                  "end hung up)."));
}

void CTtyDevice::Note(uint32_t events) {
  // Like a port event mask: what the mask does not ask for is not recorded.
  if (events != 0) m_pending.fetch_or(events & m_mask.load());
}

void CTtyDevice::CheckLineCounters(int fd) {
  if (!m_countersKnown) return;
  serial_icounter_struct counts{};
  if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) {
    m_countersKnown = false;
    return;
  }
  // Breaks, framing and parity errors arrive marked in the data; overruns leave no mark. Lost
  // bytes spoil a frame, which is sent again: noise, not a broken line.
  if (counts.overrun != m_counters.overrun || counts.buf_overrun != m_counters.bufOverrun) {
    trace::Printf("tty: receive overrun: bytes lost\n");
  }
  m_counters = {counts.overrun, counts.buf_overrun};
}

size_t CTtyDevice::TakeReady(uint8_t* dst, size_t max) {
  const size_t n = std::min(max, m_ready.size());
  std::copy_n(m_ready.begin(), n, dst);
  m_ready.erase(m_ready.begin(), m_ready.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void CTtyDevice::NoteWritten(size_t count) {
  const uint32_t baud = m_lineBaud.load();
  if (baud == 0) return;
  // Only the UI thread writes, so nothing moves the time between this load and the store.
  const auto freeAt = tty::LineFreeAfter(std::chrono::nanoseconds(m_lineFreeNs.load()), SteadyNow(),
                                         count, baud);
  m_lineFreeNs.store(freeAt.count());
}

void CTtyDevice::ResetLineTime() {
  m_lineBaud.store(0);
  m_lineFreeNs.store(0);
}

void CTtyDevice::DrainWake() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
}
