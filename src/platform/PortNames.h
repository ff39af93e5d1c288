#pragma once
// Port numbers to devices: 1..4 are COM1..COM4, each the path in TARVISEL_COMn when set, else
// /dev/ttyS<n-1>. Numbers above 4 are the TELNET device, only where TARVISEL_TELNET names one.
// Port 0 has no device. An empty path means "no such device".
#include <cstdint>
#include <string>

std::string PortDisplayName(unsigned port);  // "COM1", "\\.\TELNET"
std::string PortDevicePath(unsigned port);
