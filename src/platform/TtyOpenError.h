#pragma once
// Why a serial port could not be opened, in words a technician can act on.
#include <optional>
#include <string>

#include "platform/PortLockHolder.h"

namespace tty {

// The text for an open(2) that failed with err on path (an empty path names no device); a
// busy port names the process that holds its lock where that is known.
std::string OpenErrorText(const std::string& path, int err, const std::optional<LockHolder>& holder = {});
// The text for a port whose lock another process (or another open of this one) holds.
std::string InUseText(const std::string& path, const std::optional<LockHolder>& holder);
// The text for a path that opened but is no serial port.
std::string NotATtyText(const std::string& path);

}  // namespace tty
