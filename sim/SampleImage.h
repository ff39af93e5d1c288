#pragma once
// Images for the handset to take: pseudo-random flash contents ending in a valid trailer
// (FF 1D 00, 14 bytes, the version and the start address little-endian, 12 bytes).
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The same seed gives the same bytes. An image shorter than the trailer has none.
std::vector<uint8_t> SampleImage(uint32_t size, uint32_t start, uint32_t version, uint32_t seed);
bool WriteImage(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace sim
