#include "platform/TtyLineTime.h"

#include <sys/sysmacros.h>

#include <algorithm>

namespace tty {

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;

// Whole seconds and the rest apart, so that no product can overflow.
uint64_t BitsToNs(uint64_t bits, uint32_t baud) {
  return bits / baud * kNsPerSecond + bits % baud * kNsPerSecond / baud;
}

}  // namespace

std::chrono::nanoseconds LineFreeAfter(std::chrono::nanoseconds freeAt, std::chrono::nanoseconds now,
                                       size_t bytes, uint32_t baud) {
  const std::chrono::nanoseconds start = std::max(freeAt, now);
  if (baud == 0) return start;
  // Rounded down, and the count below rounded up once: a write of n bytes then counts as n,
  // not n + 1, at the moment it is made.
  const uint64_t ns = BitsToNs(static_cast<uint64_t>(bytes) * kBitsPerByte, baud);
  return start + std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

size_t BytesStillOnTheLine(std::chrono::nanoseconds freeAt, std::chrono::nanoseconds now, uint32_t baud) {
  if (baud == 0 || freeAt <= now) return 0;
  const auto ns = static_cast<uint64_t>((freeAt - now).count());
  // Whole bits still owed, and whether a part of one is left over.
  const uint64_t rest = ns % kNsPerSecond * baud;
  const uint64_t bits = ns / kNsPerSecond * baud + rest / kNsPerSecond;
  const bool partBit = rest % kNsPerSecond != 0;
  return static_cast<size_t>(bits / kBitsPerByte + (bits % kBitsPerByte != 0 || partBit ? 1 : 0));
}

bool IsPtySlave(dev_t device) {
  const unsigned int major = ::major(device);
  return (major >= 136 && major <= 143) || major == 3;
}

}  // namespace tty
