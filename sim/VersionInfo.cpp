#include "VersionInfo.h"

namespace sim {

namespace {

void PutText(std::vector<uint8_t>& out, size_t at, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    out[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : uint8_t{' '};
  }
}

}  // namespace

std::vector<uint8_t> BuildVersionReply(const VersionInfo& v) {
  std::vector<uint8_t> out(VersionInfo::kReplyLen, 0);
  out[0] = 0x00;
  PutText(out, 1, v.date, VersionInfo::kDateLen);
  PutText(out, 12, v.time, VersionInfo::kTimeLen);
  PutText(out, 20, v.pcb, VersionInfo::kPcbLen);
  PutText(out, 31, v.pcb2, VersionInfo::kPcb2Len);
  PutText(out, 39, v.sw, VersionInfo::kSwLen);
  out[50] = static_cast<uint8_t>(v.revision & 0xFF);
  out[51] = static_cast<uint8_t>(v.revision >> 8);
  return out;
}

}  // namespace sim
