// The product's link runs over a POSIX tty.
#include "Comm/bsscomm.h"
#include "platform/TtyDevice.h"

CBssComm::CBssComm() : CBssComm(std::make_unique<CTtyDevice>()) {}
