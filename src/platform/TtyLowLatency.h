#pragma once
// Low-latency mode of a serial driver (ASYNC_LOW_LATENCY). A USB serial adapter otherwise
// holds received bytes until its latency timer (often 16 ms) runs out; in low-latency mode the
// driver hands them on at once, which a request and reply link pays for on every frame.
//
// The ioctl is passed in so that the driver's answers can be played in a test.
#include <linux/serial.h>

#include <functional>

namespace tty {

// Runs TIOCGSERIAL or TIOCSSERIAL on the device; returns 0 or the errno of the failure.
using SerialInfoIoctl = std::function<int(unsigned long request, serial_struct& info)>;

// Serial-info ioctls through ::ioctl on fd.
SerialInfoIoctl DeviceSerialInfoIoctl(int fd);

class CLowLatency {
 public:
  // Asks the driver for low-latency mode, keeping its other flags. A driver that refuses
  // (a pty has no serial info; some drivers want privileges) leaves the device as it was and
  // earns one trace line: the link works without it, only slower to hear replies.
  void Request(const SerialInfoIoctl& ioctl);
  // Takes the mode away again when Request set it: the port is left as it was found.
  void Restore(const SerialInfoIoctl& ioctl);
  // Whether Request turned the mode on (and Restore has yet to turn it off).
  bool Changed() const { return m_changed; }

 private:
  bool m_changed = false;
};

}  // namespace tty
