#pragma once
// The termios side of the link's port settings, kept apart from the device so that it can be
// checked without a tty.
#include <termios.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/SerialDevice.h"

namespace tty {

// The termios speed code for a line speed in bit/s; nothing for a rate the table lacks.
std::optional<speed_t> SpeedCode(uint32_t baud);

// Rewrites t for the link over what the device reported: raw binary data (no canonical mode,
// echo, signals, output processing, CR/NL translation, stripping or XON/XOFF, since frames carry
// any byte), data bits, parity, stop bits, receiver on, modem status ignored, reads that never
// wait, the speed, and line errors and breaks marked in the input (INPCK, PARMRK). Hardware
// flow control and everything else stay as they were. False, with t untouched and the reason
// in error, for settings no port can take.
bool ApplySettings(termios& t, const SerialSettings& s, std::string& error);

// Whether the device kept what matters of the settings written: a driver may quietly keep
// another speed, data size or parity than it was asked for.
bool SettingsTook(const termios& wanted, const termios& got);

}  // namespace tty
