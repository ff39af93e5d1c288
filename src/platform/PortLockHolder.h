#pragma once
// Which process holds a lock on a serial port, as /proc/locks tells it: the number a
// technician needs to find the terminal program or second tool that keeps the port.
#include <optional>
#include <string>
#include <string_view>

namespace tty {

struct LockHolder {
  long pid = 0;
  std::string program;  // /proc/PID/comm; empty when it cannot be read
};

// The process holding a lock on the file with this device (major, minor) and inode in the text
// of /proc/locks; a waiter's line ("->") holds nothing.
std::optional<long> LockHolderPid(std::string_view procLocks, unsigned major, unsigned minor,
                                  unsigned long inode);

// The holder of a lock on the file open on fd, or on path; none where nobody holds one or
// /proc/locks does not tell.
std::optional<LockHolder> LockHolderOfFd(int fd);
std::optional<LockHolder> LockHolderOfPath(const std::string& path);

}  // namespace tty
