#include "Comm/Crc.h"

namespace crc {

static_assert(kFcs16Table[1] == 0x1189);
static_assert(kCrc30Table[1] == kCrc30Poly);

uint16_t Fcs16(const uint8_t* data, size_t len) {
  uint16_t fcs = kFcs16Init;
  for (size_t i = 0; i < len; ++i) fcs = Fcs16Step(fcs, data[i]);
  return static_cast<uint16_t>(~fcs);
}

uint32_t Crc30(const uint8_t* data, size_t bits) {
  uint32_t crc = kCrc30Init;
  size_t i = 0;
  for (; bits >= 8; bits -= 8, ++i) {
    crc = (crc << 8) ^ kCrc30Table[((crc >> 22) ^ data[i]) & 0xFF];
  }
  if (bits > 0) {
    uint32_t b = data[i];
    for (; bits > 0; --bits, b <<= 1) {
      crc = ((crc ^ (b << 22)) & 0x20000000) ? (crc << 1) ^ 0x6030B9C7 : crc << 1;
    }
  }
  return ~crc & kCrc30Mask;
}

}  // namespace crc
