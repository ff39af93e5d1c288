#pragma once
// The two check values of the handset link: FCS-16 (CRC-16/X-25) on requests, CRC-30/CDMA on
// replies of one DM variant. Tables are built at compile time.
#include <array>
#include <cstddef>
#include <cstdint>

namespace crc {

constexpr uint16_t kFcs16Init = 0xFFFF;
constexpr uint32_t kCrc30Init = 0x3FFFFFFF;
constexpr uint32_t kCrc30Mask = 0x3FFFFFFF;
constexpr uint32_t kCrc30Poly = 0x2030B9C7;

constexpr std::array<uint16_t, 256> MakeFcs16Table() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i;
    for (int b = 0; b < 8; ++b) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
    t[i] = static_cast<uint16_t>(v);
  }
  return t;
}

constexpr std::array<uint32_t, 256> MakeCrc30Table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 22;
    for (int b = 0; b < 8; ++b) v = (v & 0x20000000) ? (v << 1) ^ kCrc30Poly : v << 1;
    t[i] = v & kCrc30Mask;
  }
  return t;
}

inline constexpr std::array<uint16_t, 256> kFcs16Table = MakeFcs16Table();
inline constexpr std::array<uint32_t, 256> kCrc30Table = MakeCrc30Table();

// One step of the running FCS-16 (not complemented).
constexpr uint16_t Fcs16Step(uint16_t fcs, uint8_t b) {
  return static_cast<uint16_t>((fcs >> 8) ^ kFcs16Table[(fcs ^ b) & 0xFF]);
}

// The complemented FCS-16 of a whole buffer, as it goes on the wire (low byte first).
uint16_t Fcs16(const uint8_t* data, size_t len);

// CRC-30 over `bits` bits of data, most significant bit first; a trailing partial byte is allowed.
uint32_t Crc30(const uint8_t* data, size_t bits);

}  // namespace crc
