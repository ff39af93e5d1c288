// Low-latency mode against drivers played through the ioctl seam.
#include "platform/TtyLowLatency.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "support/TraceCapture.h"

namespace {

constexpr int kOther = ASYNC_SKIP_TEST | ASYNC_SPD_HI;

TEST(TtyLowLatency, SetOnceKeepingTheOtherFlagsRefusalsTracedAndUndoneAtRestore) {
  struct Case {
    const char* name;
    int flags, getError, setError, restoreError;
    int afterRequest, afterRestore;  // the driver's flags
    const char* traced;              // "" for none
  };
  constexpr int kLow = ASYNC_LOW_LATENCY;
  const Case cases[] = {
      {"set", kOther, 0, 0, 0, kOther | kLow, kOther, ""},
      {"already set", kOther | kLow, 0, 0, 0, kOther | kLow, kOther | kLow, ""},
      {"pty", kOther, ENOTTY, 0, 0, kOther, kOther, "no low-latency mode: no serial settings"},
      {"no serial info", kOther, EINVAL, 0, 0, kOther, kOther, "no low-latency mode: no serial settings"},
      {"not allowed", kOther, 0, EPERM, 0, kOther, kOther, "no low-latency mode: the driver refused"},
      {"restore refused", 0, 0, 0, EIO, kLow, kLow, "low-latency mode left on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTraceCapture trace;
    serial_struct driver{};
    driver.flags = c.flags;
    driver.baud_base = 24000000;
    int sets = 0;
    int setError = c.setError;
    const tty::SerialInfoIoctl ioctl = [&](unsigned long request, serial_struct& s) {
      if (request == TIOCGSERIAL) {
        if (c.getError == 0) s = driver;
        return c.getError;
      }
      if (setError != 0) return setError;
      ++sets;
      driver = s;
      return 0;
    };
    tty::CLowLatency lowLatency;
    lowLatency.Request(ioctl);
    EXPECT_EQ(driver.flags, c.afterRequest);
    EXPECT_EQ(lowLatency.Changed(), c.afterRequest != c.flags);
    EXPECT_EQ(sets, c.afterRequest != c.flags ? 1 : 0);  // a flag already set is not written again
    // Only the flag is undone: what else changed while the port was open stays.
    driver.custom_divisor = 7;
    setError = c.restoreError;
    lowLatency.Restore(ioctl);
    EXPECT_EQ(driver.flags, c.afterRestore);
    EXPECT_EQ(driver.custom_divisor, 7);
    EXPECT_EQ(driver.baud_base, 24000000);
    const std::string text = trace.Text();
    if (*c.traced == '\0') {
      EXPECT_EQ(text, "");
      continue;
    }
    // One line, saying why.
    const int err = c.getError != 0 ? c.getError : c.setError != 0 ? c.setError : c.restoreError;
    EXPECT_EQ(text.rfind(std::string("tty: ") + c.traced, 0), 0u) << text;
    EXPECT_NE(text.find(std::strerror(err)), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  }
}

}  // namespace
