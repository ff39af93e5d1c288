#pragma once
// What the handset tells about itself in its version reply.
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct VersionInfo {
  // Field widths in the reply; shorter texts are padded with spaces.
  static constexpr size_t kDateLen = 11, kTimeLen = 8, kPcbLen = 11, kPcb2Len = 8, kSwLen = 8;
  static constexpr size_t kReplyLen = 52;

  uint16_t revision = 203;
  std::string date = "Mar 14 2024";
  std::string time = "09:26:53";
  std::string pcb = "KV-H100 PCB";
  std::string pcb2 = "REV 0.3";
  std::string sw = "KVH100K";
};

// The 52-byte version reply: 00, date, time, PCB text in two parts, S/W text tail, three
// unused bytes, the revision little-endian at offset 50. Texts are cut to their fields.
std::vector<uint8_t> BuildVersionReply(const VersionInfo& v);

}  // namespace sim
