#pragma once
// Reply codes of the handset, and helpers its request handlers share.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr uint8_t kAck = 0x02;
constexpr uint8_t kNakCrc = 0xA1;
constexpr uint8_t kNakTooLarge = 0xA2;
constexpr uint8_t kNakInvalid = 0xA3;
constexpr uint8_t kNakFlash = 0xA4;
constexpr uint8_t kDmBadCmd = 0x13;
constexpr uint8_t kDmBadLen = 0x15;
constexpr uint8_t kDmBadMode = 0x18;

// A DM error reply echoes the request; a real monitor does not echo kilobytes.
constexpr size_t kMaxEcho = 255;

inline uint32_t Le32(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
         static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
}

inline std::vector<uint8_t> WithEcho(uint8_t code, const std::vector<uint8_t>& req) {
  const size_t n = std::min(req.size(), kMaxEcho);
  std::vector<uint8_t> out(n + 1);
  out[0] = code;
  std::copy_n(req.begin(), n, out.begin() + 1);
  return out;
}

}  // namespace sim
