#include "NorFlash.h"

#include <algorithm>
#include <fstream>

namespace sim {

CNorFlash::CNorFlash(size_t size, std::optional<uint8_t> fill) : m_bytes(size) {
  if (fill) {
    std::fill(m_bytes.begin(), m_bytes.end(), *fill);
    return;
  }
  uint32_t x = 0x2545F491u;  // xorshift: deterministic, so a saved flash can be compared
  for (auto& b : m_bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
}

bool CNorFlash::Erase(uint32_t addr, uint32_t len) {
  if (!Contains(addr, len)) return false;
  std::fill_n(m_bytes.begin() + addr, len, uint8_t{0xFF});
  return true;
}

bool CNorFlash::Program(uint32_t addr, const uint8_t* data, size_t len) {
  if (!Contains(addr, len)) return false;
  for (size_t i = 0; i < len; ++i) m_bytes[addr + i] &= data[i];
  return true;
}

bool CNorFlash::Save(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(m_bytes.data()), static_cast<std::streamsize>(m_bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace sim
