#include "platform/TtyTermios.h"

#include <array>
#include <utility>

#include "platform/Translate.h"

namespace tty {

std::optional<speed_t> SpeedCode(uint32_t baud) {
  static constexpr std::array<std::pair<uint32_t, speed_t>, 23> kSpeeds{{
      {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
      {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
      {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
      {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
      {2500000, B2500000}, {3000000, B3000000}, {4000000, B4000000},
  }};
  for (const auto& [rate, code] : kSpeeds) {
    if (rate == baud) return code;
  }
  return std::nullopt;
}

namespace {

std::optional<tcflag_t> SizeFlag(uint8_t byteSize) {
  switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    case 8: return CS8;
    default: return std::nullopt;
  }
}

// Parity codes as the link knows them: 0 none, 1 odd, 2 even, 3 mark, 4 space.
std::optional<tcflag_t> ParityFlags(uint8_t parity) {
  switch (parity) {
    case 0: return 0;
    case 1: return PARENB | PARODD;
    case 2: return PARENB;
    case 3: return PARENB | CMSPAR | PARODD;
    case 4: return PARENB | CMSPAR;
    default: return std::nullopt;
  }
}

// Stop-bit codes: 0 one, 1 one and a half (a tty has no such setting: two), 2 two.
std::optional<tcflag_t> StopFlags(uint8_t stopBits) {
  switch (stopBits) {
    case 0: return 0;
    case 1:
    case 2: return CSTOPB;
    default: return std::nullopt;
  }
}

constexpr tcflag_t kParityMask = PARENB | PARODD | CMSPAR;

}  // namespace

bool ApplySettings(termios& t, const SerialSettings& s, std::string& error) {
  const std::optional<speed_t> speed = SpeedCode(s.baud);
  if (!speed) {
    error = TrFormat("The line speed %lu bit/s is not supported.", static_cast<unsigned long>(s.baud));
    return false;
  }
  const std::optional<tcflag_t> size = SizeFlag(s.byteSize);
  if (!size) {
    error = TrFormat("A serial port cannot use %d data bits.", static_cast<int>(s.byteSize));
    return false;
  }
  const std::optional<tcflag_t> parity = ParityFlags(s.parity);
  if (!parity) {
    error = TrFormat("Unknown parity setting %d.", static_cast<int>(s.parity));
    return false;
  }
  const std::optional<tcflag_t> stop = StopFlags(s.stopBits);
  if (!stop) {
    error = TrFormat("Unknown stop bits setting %d.", static_cast<int>(s.stopBits));
    return false;
  }

  termios out = t;
  out.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                   IXOFF | IXANY | IMAXBEL);
  out.c_iflag |= INPCK | PARMRK;
  out.c_oflag &= ~OPOST;
  out.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
  out.c_cflag &= ~(CSIZE | kParityMask | CSTOPB);
  out.c_cflag |= *size | *parity | *stop | CREAD | CLOCAL;
  out.c_cc[VMIN] = 0;
  out.c_cc[VTIME] = 0;
  if (cfsetispeed(&out, *speed) != 0 || cfsetospeed(&out, *speed) != 0) {
    error = TrFormat("The line speed %lu bit/s is not supported.", static_cast<unsigned long>(s.baud));
    return false;
  }
  t = out;
  return true;
}

bool SettingsTook(const termios& wanted, const termios& got) {
  return cfgetospeed(&got) == cfgetospeed(&wanted) &&
         (got.c_cflag & CSIZE) == (wanted.c_cflag & CSIZE) &&
         (got.c_cflag & kParityMask) == (wanted.c_cflag & kParityMask);
}

}  // namespace tty
