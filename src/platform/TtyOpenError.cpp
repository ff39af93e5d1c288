#include "platform/TtyOpenError.h"

#include <cerrno>
#include <system_error>

#include "platform/Translate.h"

namespace tty {

std::string InUseText(const std::string& path, const std::optional<LockHolder>& holder) {
  std::string who = Tr("a modem manager or a terminal program");
  if (holder) {
    who = TrFormat("process %ld", static_cast<long>(holder->pid));
    if (!holder->program.empty()) who += ", " + holder->program;
  }
  return TrFormat("Serial port \"%s\" is in use by another program (%s). Close that program and try again.",
                  path.c_str(), who.c_str());
}

std::string OpenErrorText(const std::string& path, int err, const std::optional<LockHolder>& holder) {
  if (path.empty()) {
    return Tr("No serial port was named: the device does not exist. Choose a port.");
  }
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return TrFormat("Serial port \"%s\" does not exist. Check the port name and that the cable or USB adapter "
                      "is plugged in.",
                      path.c_str());
    case EACCES:
    case EPERM:
      return TrFormat("Permission denied for Serial port \"%s\". Add your user to the 'dialout' group "
                      "(sudo usermod -aG dialout $USER), then log out and log in again.",
                      path.c_str());
    case EBUSY:
      return InUseText(path, holder);
    default:
      return TrFormat("Cannot open Serial port \"%s\": %s.", path.c_str(), std::generic_category().message(err).c_str());
  }
}

std::string NotATtyText(const std::string& path) {
  return TrFormat("\"%s\" is not a serial port (it is no terminal device).", path.c_str());
}

}  // namespace tty
