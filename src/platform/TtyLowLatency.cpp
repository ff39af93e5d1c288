#include "platform/TtyLowLatency.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/Trace.h"

namespace tty {

namespace {

std::string ErrnoText(int err) { return std::generic_category().message(err); }

}  // namespace

SerialInfoIoctl DeviceSerialInfoIoctl(int fd) {
  return [fd](unsigned long request, serial_struct& info) {
    return ::ioctl(fd, request, &info) == 0 ? 0 : errno;
  };
}

void CLowLatency::Request(const SerialInfoIoctl& ioctl) {
  m_changed = false;
  serial_struct info{};
  if (const int err = ioctl(TIOCGSERIAL, info); err != 0) {
    // A pty answers ENOTTY: it has no serial settings at all.
    trace::Printf("tty: no low-latency mode: no serial settings to read: %s\n", ErrnoText(err).c_str());
    return;
  }
  if ((info.flags & ASYNC_LOW_LATENCY) != 0) return;
  info.flags |= ASYNC_LOW_LATENCY;
  if (const int err = ioctl(TIOCSSERIAL, info); err != 0) {
    trace::Printf("tty: no low-latency mode: the driver refused it: %s\n", ErrnoText(err).c_str());
    return;
  }
  m_changed = true;
}

void CLowLatency::Restore(const SerialInfoIoctl& ioctl) {
  if (!m_changed) return;
  m_changed = false;
  // Read again rather than write back what Open saw: only the one flag is ours to undo.
  serial_struct info{};
  int err = ioctl(TIOCGSERIAL, info);
  if (err == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) return;
  if (err == 0) {
    info.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
    err = ioctl(TIOCSSERIAL, info);
  }
  if (err != 0) trace::Printf("tty: low-latency mode left on: %s\n", ErrnoText(err).c_str());
}

}  // namespace tty
