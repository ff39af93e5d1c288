#pragma once
// One block write as it goes on the wire: command slot, flash address (LE), data length (LE) and
// the data. The request builder sends bytes 0..4102 exactly as they stand, so the layout is fixed.
#include <array>
#include <cstddef>
#include <cstdint>

constexpr size_t kBlockDataSize = 4096;
constexpr size_t kBlockRecordSize = 4103;

struct BlockRecord {
  static constexpr size_t kCommandOffset = 0;
  static constexpr size_t kAddressOffset = 1;
  static constexpr size_t kLengthOffset = 5;
  static constexpr size_t kDataOffset = 7;

  std::array<uint8_t, kBlockRecordSize> bytes{};

  uint8_t Command() const { return bytes[kCommandOffset]; }
  void SetCommand(uint8_t code) { bytes[kCommandOffset] = code; }

  uint32_t Address() const {
    return static_cast<uint32_t>(bytes[kAddressOffset]) |
           static_cast<uint32_t>(bytes[kAddressOffset + 1]) << 8 |
           static_cast<uint32_t>(bytes[kAddressOffset + 2]) << 16 |
           static_cast<uint32_t>(bytes[kAddressOffset + 3]) << 24;
  }
  void SetAddress(uint32_t addr) {
    for (size_t i = 0; i < 4; ++i) bytes[kAddressOffset + i] = static_cast<uint8_t>(addr >> (8 * i));
  }

  uint16_t Length() const {
    return static_cast<uint16_t>(bytes[kLengthOffset] | bytes[kLengthOffset + 1] << 8);
  }
  void SetLength(uint16_t length) {
    bytes[kLengthOffset] = static_cast<uint8_t>(length);
    bytes[kLengthOffset + 1] = static_cast<uint8_t>(length >> 8);
  }

  uint8_t* Data() { return bytes.data() + kDataOffset; }
  const uint8_t* Data() const { return bytes.data() + kDataOffset; }

  // The whole record, for the sender.
  uint8_t* data() { return bytes.data(); }
  const uint8_t* data() const { return bytes.data(); }
  static constexpr size_t size() { return kBlockRecordSize; }
};

static_assert(BlockRecord::kDataOffset + kBlockDataSize == kBlockRecordSize);
static_assert(sizeof(BlockRecord) == kBlockRecordSize);
static_assert(kBlockDataSize <= UINT16_MAX);
