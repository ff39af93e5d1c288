#pragma once
// How long the bytes written to a serial line take to leave it. The driver's output queue
// does not see what a USB adapter keeps in its own FIFO, so the device also keeps the time at
// which the line will have sent everything written, from the set speed.
//
// Times are steady-clock readings as durations since the clock's epoch.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tty {

// Start bit, eight data bits, stop bit: the link's framing, and the least any byte costs.
constexpr unsigned kBitsPerByte = 10;

// When the line is free again after `bytes` more were written at `now` to a line busy until
// `freeAt` (a line free before `now` starts sending at `now`).
std::chrono::nanoseconds LineFreeAfter(std::chrono::nanoseconds freeAt, std::chrono::nanoseconds now,
                                       size_t bytes, uint32_t baud);

// Bytes still to be sent at `now` on a line busy until `freeAt`; a byte under way counts whole.
size_t BytesStillOnTheLine(std::chrono::nanoseconds freeAt, std::chrono::nanoseconds now, uint32_t baud);

// Whether a tty with this device number is a pty slave, which has no line and no line speed:
// UNIX98 slaves (majors 136 to 143) and the legacy BSD ones (major 3).
bool IsPtySlave(dev_t device);

}  // namespace tty
