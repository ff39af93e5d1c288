#pragma once
// The serial devices present on this machine, for `tarvisel-cli ports`: the stable
// /dev/serial/by-id names of USB adapters with the tty each points to and what the kernel's
// device database says of the adapter, then the ttys themselves.
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "DeviceFacts.h"

struct SerialPortEntry {
  std::string path;    // as the user would pass it to --device
  std::string target;  // the device a /dev/serial/by-id link points to; empty otherwise
  std::optional<UsbAdapter> adapter;
};

// /dev/serial/by-id links, then ttyUSB*, ttyACM* and the ttyS* that have hardware behind them.
// devRoot and sysRoot let tests point it elsewhere; without facts no adapter is named.
std::vector<SerialPortEntry> ListSerialPorts(const std::string& devRoot = "/dev",
                                             const std::string& sysRoot = "/sys/class/tty",
                                             CDeviceFacts* facts = nullptr);

// The listing: where each COM port points (name, device), then the entries.
void PrintPortList(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& comPorts,
                   const std::vector<SerialPortEntry>& ports);
// "USB 0403:6001, FTDI, FT232R USB UART, serial A50285BI, driver ftdi_sio"
std::string DescribeAdapter(const UsbAdapter& adapter);
