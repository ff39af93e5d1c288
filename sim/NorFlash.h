#pragma once
// The handset's flash with NOR semantics: erasing sets bytes to 0xFF, programming can only
// clear bits (new = old AND data), so a block written without an erase shows as wrong data.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class CNorFlash {
 public:
  // fill: the contents at delivery; without it an old image (a fixed pseudo-random pattern)
  // that almost no byte of a new one would survive being ANDed with.
  explicit CNorFlash(size_t size, std::optional<uint8_t> fill = std::nullopt);

  size_t Size() const { return m_bytes.size(); }
  bool Contains(uint64_t addr, uint64_t len) const { return addr <= Size() && len <= Size() - addr; }
  // False (and nothing changed) when the range leaves the flash.
  bool Erase(uint32_t addr, uint32_t len);
  bool Program(uint32_t addr, const uint8_t* data, size_t len);

  const std::vector<uint8_t>& Bytes() const { return m_bytes; }
  // Writes the whole flash to path; false when the file could not be written.
  bool Save(const std::string& path) const;

 private:
  std::vector<uint8_t> m_bytes;
};

}  // namespace sim
