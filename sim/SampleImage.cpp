#include "SampleImage.h"

#include <fstream>

namespace sim {

std::vector<uint8_t> SampleImage(uint32_t size, uint32_t start, uint32_t version, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  if (size >= 37) {
    uint8_t* t = bytes.data() + size - 37;
    t[0] = 0xFF;
    t[1] = 0x1D;
    t[2] = 0x00;
    for (int i = 0; i < 4; ++i) {
      t[17 + i] = static_cast<uint8_t>(version >> (8 * i));
      t[21 + i] = static_cast<uint8_t>(start >> (8 * i));
    }
  }
  return bytes;
}

bool WriteImage(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace sim
