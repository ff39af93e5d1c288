#include "platform/TtyOpenError.h"

#include <cerrno>
#include <system_error>

namespace tty {

std::string InUseText(const std::string& path, const std::optional<LockHolder>& holder) {
  std::string who = "a modem manager or a terminal program";
  if (holder) {
    who = "process " + std::to_string(holder->pid);
    if (!holder->program.empty()) who += ", " + holder->program;
  }
  return "Serial port \"" + path + "\" is in use by another program (" + who +
         "). Close that program and try again.";
}

std::string OpenErrorText(const std::string& path, int err, const std::optional<LockHolder>& holder) {
  if (path.empty()) {
    return "No serial port was named: the device does not exist. Choose a port.";
  }
  const std::string port = "Serial port \"" + path + "\"";
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return port + " does not exist. Check the port name and that the cable or USB adapter "
                    "is plugged in.";
    case EACCES:
    case EPERM:
      return "Permission denied for " + port +
             ". Add your user to the 'dialout' group (sudo usermod -aG dialout $USER), "
             "then log out and log in again.";
    case EBUSY:
      return InUseText(path, holder);
    default:
      return "Cannot open " + port + ": " + std::generic_category().message(err) + ".";
  }
}

std::string NotATtyText(const std::string& path) {
  return "\"" + path + "\" is not a serial port (it is no terminal device).";
}

}  // namespace tty
