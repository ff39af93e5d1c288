#pragma once
// How many bytes a request takes on the wire, as the link frames it: the opening flag (if
// any), the payload and its FCS-16 with 0x7D..0x7F escaped, the closing flag. The engine counts
// its sends in the same bytes as the link stamps replies with.
#include <cstddef>
#include <cstdint>

#include "Comm/Crc.h"

namespace wire {

inline bool NeedsEscape(uint8_t b) { return b >= 0x7D && b <= 0x7F; }

inline size_t FrameSize(const uint8_t* payload, size_t n, bool openingFlag) {
  size_t k = openingFlag ? 1 : 0;
  uint16_t fcs = crc::kFcs16Init;
  for (size_t i = 0; i < n; ++i) {
    k += NeedsEscape(payload[i]) ? 2 : 1;
    fcs = crc::Fcs16Step(fcs, payload[i]);
  }
  fcs = static_cast<uint16_t>(~fcs);
  k += NeedsEscape(static_cast<uint8_t>(fcs & 0xFF)) ? 2 : 1;
  k += NeedsEscape(static_cast<uint8_t>(fcs >> 8)) ? 2 : 1;
  return k + 1;
}

// The ToDM sequences' sizes (raw bytes, no framing).
inline size_t ToDmSequenceSize(int step) {
  constexpr size_t kSizes[] = {4, 5, 9, 5};
  return step >= 0 && step <= 3 ? kSizes[step] : 0;
}

}  // namespace wire
