#pragma once
// --log-dir: each handset's log in a file of its own, named by its device and the time the
// command started, so that a station's runs never share a file.
#include <ctime>
#include <string>

// "/dev/serial/by-id/usb-X-port0" started 2026-12-08 09:15:02 (local time) in DIR:
// "DIR/serial_by-id_usb-X-port0-20261208-091502.log".
std::string HandsetLogPath(const std::string& dir, const std::string& device, std::time_t start);
