#pragma once
// The serial devices present on this machine, for `tarvisel-cli ports`.
#include <string>
#include <vector>

struct SerialPortEntry {
  std::string path;    // as the user would pass it to --device
  std::string target;  // the device a /dev/serial/by-id link points to; empty otherwise
};

// /dev/serial/by-id links, then ttyUSB*, ttyACM* and the ttyS* that have hardware behind them.
// devRoot and sysRoot let tests point it elsewhere.
std::vector<SerialPortEntry> ListSerialPorts(const std::string& devRoot = "/dev",
                                             const std::string& sysRoot = "/sys/class/tty");
