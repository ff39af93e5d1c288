// The holder of a port's lock as /proc/locks tells it.
#include "platform/PortLockHolder.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr const char* kLocks =
    "1: POSIX  ADVISORY  WRITE 17689 fe:00:408224 0 EOF\n"
    "2: FLOCK  ADVISORY  WRITE 812 00:1a:3 0 EOF\n"
    "2: -> FLOCK  ADVISORY  WRITE 913 00:1a:7 0 EOF\n"
    "3: OFDLCK ADVISORY  READ  -1 00:1a:9 0 EOF\n"
    "4: FLOCK  ADVISORY  WRITE 77 b4:101:4 0 EOF\n"
    "garbage\n";

struct HolderCase {
  const char* what;
  unsigned major, minor;
  unsigned long inode;
  std::optional<long> pid;
};

TEST(PortLockHolder, FindsTheProcessByDeviceAndInode) {
  const HolderCase cases[] = {
      {"a flock on a pty", 0x00, 0x1a, 3, 812},
      {"a POSIX lock on a file", 0xfe, 0x00, 408224, 17689},
      {"hexadecimal minor over two digits", 0xb4, 0x101, 4, 77},
      {"a waiter holds nothing", 0x00, 0x1a, 7, std::nullopt},
      {"an open file description lock has no process", 0x00, 0x1a, 9, std::nullopt},
      {"the inode of another device", 0x01, 0x1a, 3, std::nullopt},
      {"nobody", 0x00, 0x1a, 4, std::nullopt},
  };
  for (const HolderCase& c : cases) EXPECT_EQ(tty::LockHolderPid(kLocks, c.major, c.minor, c.inode), c.pid) << c.what;
  EXPECT_EQ(tty::LockHolderPid("", 0, 0x1a, 3), std::nullopt);
}

}  // namespace
