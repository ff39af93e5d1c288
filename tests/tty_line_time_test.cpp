// The line time of written bytes at a set speed, and which ttys have no line.
#include "platform/TtyLineTime.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

constexpr nanoseconds kT0 = 1000s;  // any steady-clock reading

TEST(TtyLineTime, BytesLeftAsTheLineSendsThem) {
  struct Case {
    nanoseconds busyUntil;  // from kT0, before the write; zero or less: the line is idle
    size_t bytes;
    uint32_t baud;
    nanoseconds later;  // from kT0
    size_t left;
  };
  const Case cases[] = {
      {0s, 960, 9600, 250ms, 720},    {0s, 960, 9600, 1s, 0},
      {-5s, 1152, 115200, 50ms, 576}, {50ms, 576, 115200, 0s, 1152},  // idle long since; queued behind
      {0s, 1, 9600, 1ms, 1},          {0s, 100, 57600, 1ns, 100},     // a byte under way is owed
      {0s, 432000, 1200, 3599s, 120}, {0s, 5, 0, 0s, 0},              // hours of line; no speed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytes << " at " << c.baud << " after " << c.later.count() << " ns");
    const nanoseconds freeAt = tty::LineFreeAfter(kT0 + c.busyUntil, kT0, c.bytes, c.baud);
    EXPECT_EQ(tty::BytesStillOnTheLine(freeAt, kT0 + c.later, c.baud), c.left);
  }
}

// Right after a write the line owes exactly what was written: rounding must not add a byte.
TEST(TtyLineTime, AWriteOwesItsOwnSizeAtFirst) {
  for (uint32_t baud : {1200u, 9600u, 57600u, 115200u, 230400u, 921600u, 3000000u}) {
    for (size_t bytes : {size_t{1}, size_t{3}, size_t{7}, size_t{64}, size_t{500}, size_t{4099}}) {
      const nanoseconds freeAt = tty::LineFreeAfter(0ns, kT0, bytes, baud);
      EXPECT_EQ(tty::BytesStillOnTheLine(freeAt, kT0, baud), bytes) << bytes << " at " << baud;
    }
  }
}

TEST(TtyLineTime, PtySlavesByTheirMajor) {
  // pts, the last UNIX98 slave major, BSD ttyp; ttyS, ttyUSB, ttyACM, ptmx, the majors around.
  for (unsigned major : {136u, 143u, 3u}) EXPECT_TRUE(tty::IsPtySlave(makedev(major, 1))) << major;
  for (unsigned major : {4u, 188u, 166u, 5u, 135u, 144u}) EXPECT_FALSE(tty::IsPtySlave(makedev(major, 1))) << major;
}

}  // namespace
