#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/TtyOpenError.h"
#include "platform/TtyTermios.h"

namespace {

using ::testing::HasSubstr;

// What a tty looks like before the link touches it: a cooked terminal line.
termios Cooked(bool hardwareFlow) {
  termios t{};
  t.c_iflag = ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | IGNBRK | BRKINT | IGNPAR |
              IMAXBEL | IUTF8;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | (hardwareFlow ? CRTSCTS : 0);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  t.c_cc[VSTART] = 0x11;
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  return t;
}

TEST(TtyTermios, MakesTheLineRawAndKeepsFlowControlAndTheRest) {
  for (bool hardwareFlow : {false, true}) {
    SCOPED_TRACE(hardwareFlow ? "CRTSCTS on" : "CRTSCTS off");
    termios t = Cooked(hardwareFlow);
    std::string error;
    ASSERT_TRUE(tty::ApplySettings(t, SerialSettings{}, error)) << error;

    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | IGNBRK |
                           BRKINT | IGNPAR | IMAXBEL),
              0u);
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK), INPCK | PARMRK);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);
    EXPECT_EQ(t.c_cflag & CRTSCTS, hardwareFlow ? CRTSCTS : 0u);
    EXPECT_EQ(t.c_cflag & HUPCL, static_cast<tcflag_t>(HUPCL));
    EXPECT_EQ(t.c_iflag & IUTF8, static_cast<tcflag_t>(IUTF8));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
  }
}

struct FrameCase {
  SerialSettings settings;
  speed_t speed;
  tcflag_t frame;  // CSIZE, parity and stop bits expected
};

TEST(TtyTermios, SpeedDataBitsParityAndStopBits) {
  const FrameCase cases[] = {
      {{9600, 8, 0, 0}, B9600, CS8},
      {{57600, 8, 0, 0}, B57600, CS8},
      {{115200, 8, 0, 0}, B115200, CS8},
      {{1200, 7, 2, 0}, B1200, CS7 | PARENB},
      {{921600, 8, 1, 2}, B921600, CS8 | PARENB | PARODD | CSTOPB},
      {{19200, 5, 0, 1}, B19200, CS5 | CSTOPB},
      {{4800, 6, 3, 0}, B4800, CS6 | PARENB | PARODD | CMSPAR},
      {{230400, 8, 4, 0}, B230400, CS8 | PARENB | CMSPAR},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.settings.baud);
    termios t = Cooked(false);
    std::string error;
    ASSERT_TRUE(tty::ApplySettings(t, c.settings, error)) << error;
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.frame);
  }
}

TEST(TtyTermios, RefusesWhatNoPortTakesAndLeavesTheSettingsAlone) {
  const SerialSettings refused[] = {
      {0, 8, 0, 0}, {12345, 8, 0, 0}, {57600, 4, 0, 0},
      {57600, 9, 0, 0}, {57600, 8, 5, 0}, {57600, 8, 0, 3},
  };
  for (const SerialSettings& s : refused) {
    termios t = Cooked(false);
    const termios before = t;
    std::string error;
    EXPECT_FALSE(tty::ApplySettings(t, s, error)) << s.baud << " " << int(s.byteSize);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
  }
}

TEST(TtyTermios, SettingsTookLooksAtSpeedSizeAndParity) {
  termios wanted = Cooked(false);
  std::string error;
  ASSERT_TRUE(tty::ApplySettings(wanted, SerialSettings{115200, 7, 2, 0}, error));
  EXPECT_TRUE(tty::SettingsTook(wanted, wanted));

  termios otherFlags = wanted;
  otherFlags.c_iflag |= IXON;
  EXPECT_TRUE(tty::SettingsTook(wanted, otherFlags));

  termios slower = wanted;
  cfsetospeed(&slower, B57600);
  EXPECT_FALSE(tty::SettingsTook(wanted, slower));

  termios eightBitsNoParity = wanted;  // what a pty makes of any frame
  eightBitsNoParity.c_cflag = (eightBitsNoParity.c_cflag & ~(CSIZE | PARENB)) | CS8;
  EXPECT_FALSE(tty::SettingsTook(wanted, eightBitsNoParity));
}

struct ErrorCase {
  int err;
  const char* expect;
};

TEST(TtyOpenError, TellsTheTechnicianWhatToDo) {
  const ErrorCase cases[] = {
      {ENOENT, "does not exist"}, {ENODEV, "does not exist"}, {ENXIO, "does not exist"},
      {EACCES, "'dialout' group"}, {EPERM, "sudo usermod -aG dialout $USER"},
      {EBUSY, "in use by another program (a modem manager or a terminal program)"},
      {EIO, std::strerror(EIO)},
  };
  for (const ErrorCase& c : cases) {
    const std::string text = tty::OpenErrorText("/dev/ttyUSB0", c.err);
    EXPECT_THAT(text, HasSubstr(c.expect)) << c.err;
    EXPECT_THAT(text, HasSubstr("/dev/ttyUSB0")) << c.err;
  }
  EXPECT_THAT(tty::OpenErrorText("", EACCES), HasSubstr("does not exist"));
  EXPECT_THAT(tty::OpenErrorText("/dev/ttyUSB0", EBUSY, tty::LockHolder{4242, "picocom"}),
              HasSubstr("\"/dev/ttyUSB0\" is in use by another program (process 4242, picocom)"));
  EXPECT_THAT(tty::InUseText("/dev/ttyUSB0", tty::LockHolder{17, ""}), HasSubstr("(process 17)"));
  EXPECT_THAT(tty::NotATtyText("/tmp/x"), HasSubstr("not a serial port"));
}

}  // namespace
