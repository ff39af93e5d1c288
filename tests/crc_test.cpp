#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Comm/Crc.h"

namespace {

// Bit-at-a-time CRC-30, independent of the table.
uint32_t Crc30Bitwise(const std::vector<uint8_t>& data) {
  uint32_t crc = 0x3FFFFFFF;
  for (uint8_t byte : data) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool top = ((crc >> 29) ^ (byte >> bit)) & 1;
      crc = (crc << 1) & 0x3FFFFFFF;
      if (top) crc ^= 0x2030B9C7;
    }
  }
  return ~crc & 0x3FFFFFFF;
}

uint16_t Fcs16Bitwise(const std::vector<uint8_t>& data) {
  uint16_t fcs = 0xFFFF;
  for (uint8_t byte : data) {
    fcs ^= byte;
    for (int i = 0; i < 8; ++i) fcs = (fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1;
  }
  return static_cast<uint16_t>(~fcs);
}

const std::string kCheck = "123456789";

}  // namespace

TEST(Crc, CheckValuesOfBothCodes) {
  auto* p = reinterpret_cast<const uint8_t*>(kCheck.data());
  EXPECT_EQ(crc::Fcs16(p, kCheck.size()), 0x906E);
  EXPECT_EQ(crc::Crc30(p, kCheck.size() * 8), 0x04C34ABFu);
}

TEST(Crc, KnownFrames) {
  const uint8_t status = 0x0C;
  EXPECT_EQ(crc::Fcs16(&status, 1), 0x3A14);
  EXPECT_EQ(crc::Crc30(&status, 8), 0x1E2AA811u);
  // No bytes at all: the complement of the start value.
  EXPECT_EQ(crc::Crc30(nullptr, 0), 0u);
  const uint8_t esc[] = {0x7D, 0x7E, 0x7F};
  EXPECT_EQ(crc::Fcs16(esc, 3), 0x58CF);
  const uint8_t sixty = 0x60;
  EXPECT_EQ(crc::Fcs16(&sixty, 1), 0x937E);
}

TEST(Crc, TablesAgreeWithBitwiseReferenceOnRandomData) {
  std::mt19937 rng(7);
  for (int len : {1, 2, 17, 255, 511, 4103}) {
    std::vector<uint8_t> data(static_cast<size_t>(len));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(crc::Fcs16(data.data(), data.size()), Fcs16Bitwise(data)) << len;
    EXPECT_EQ(crc::Crc30(data.data(), data.size() * 8), Crc30Bitwise(data)) << len;
  }
}

TEST(Crc, TrailingBitsAreTakenMostSignificantFirst) {
  // A whole byte given as 8 trailing bits of a partial pass must equal the table path.
  const uint8_t data[] = {0x31, 0xA5};
  for (size_t bits = 1; bits <= 16; ++bits) {
    // Reference: feed the bits one by one through the bitwise loop.
    uint32_t crc = 0x3FFFFFFF;
    for (size_t i = 0; i < bits; ++i) {
      const int bit = (data[i / 8] >> (7 - i % 8)) & 1;
      const bool top = ((crc >> 29) & 1) ^ bit;
      crc = (crc << 1) & 0x3FFFFFFF;
      if (top) crc ^= 0x2030B9C7;
    }
    EXPECT_EQ(crc::Crc30(data, bits), ~crc & 0x3FFFFFFF) << bits << " bits";
  }
}
