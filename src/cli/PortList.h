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
// The same facts as JSON Lines: one object for each COM port ("com", "path", "target"), then one
// for each entry ("device", "target", "usb": the adapter or null), then {"modem_manager": bool}.
void PrintPortListJson(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& comPorts,
                       const std::vector<SerialPortEntry>& ports, bool modemManager);
// "USB 0403:6001, FTDI, FT232R USB UART, serial A50285BI, driver ftdi_sio"
std::string DescribeAdapter(const UsbAdapter& adapter);

// What the listing says when ModemManager runs: it probes new serial ports and may send bytes to
// a handset in download mode.
extern const char* const kModemManagerNote;
// Whether a ModemManager process runs, from the comm files under procRoot.
bool ModemManagerRunning(const std::string& procRoot = "/proc");

// Where a port chosen by number leads, said before anything is sent on it: "port COM1 (the
// stored PORT) is /dev/ttyS0", with the tty a link points to, and whether the device is
// missing or a ttyS with no hardware behind it (sysRoot as for ListSerialPorts).
struct PortLead {
  std::string text;
  bool doubtful = false;  // no device, or no hardware behind it: no handset will answer there
};
PortLead PortLeadsTo(const std::string& portName, const std::string& chosenBy, const std::string& device,
                     const std::string& sysRoot = "/sys/class/tty");
