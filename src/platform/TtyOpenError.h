#pragma once
// Why a serial port could not be opened, in words a technician can act on.
#include <string>

namespace tty {

// The text for an open(2) that failed with err on path (an empty path names no device).
std::string OpenErrorText(const std::string& path, int err);
// The text for a path that opened but is no serial port.
std::string NotATtyText(const std::string& path);

}  // namespace tty
