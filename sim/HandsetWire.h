#pragma once
// The handset's side of the wire: cutting the host's byte stream into frames, unescaping and
// checking a request, and building the bytes of a reply. Written on its own, apart from the
// host's codec, so that a mistake shared by both ends cannot hide.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr uint8_t kFlag = 0x7E;    // ends every frame; opens a download-mode request
constexpr uint8_t kDmOpen = 0x7F;  // opens a DM request of the CRC-30 variant (and ToDM)
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;

// The check a reply carries.
enum class ReplyCheck {
  None,   // ToDM answers: bytes as they stand, then the flag
  Crc30,  // DM, CRC-30 variant: CRC-30 of the payload, most significant byte first
  Fcs16,  // DM plain variant and download mode: FCS-16, low byte first
  Xmodem, // the same replies of a handset with another check: CRC-16/XMODEM, high byte first
};

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, not reflected, not complemented.
uint16_t Crc16Xmodem(const uint8_t* data, size_t len);

// Payload, check, all escaped (except with ReplyCheck::None), then the closing flag.
// corruptCheck flips one bit of the check value, for fault scenarios.
std::vector<uint8_t> EncodeReply(const std::vector<uint8_t>& payload, ReplyCheck check,
                                 bool corruptCheck = false);

// One frame as it came off the line, flags removed.
struct RawFrame {
  uint8_t opening = 0;        // kFlag or kDmOpen when one preceded the frame, else 0
  std::vector<uint8_t> bytes;  // between the opening and the closing flag, still escaped
  bool overflow = false;       // longer than the receiver holds: bytes is empty
};

// Cuts the host's stream at each 0x7E. An empty frame (7E 7E, or a 7E opening a download
// request) is an opening flag for the next frame; a 0x7F first in a frame opens it.
class CFrameSplitter {
 public:
  explicit CFrameSplitter(size_t maxFrameBytes) : m_max(maxFrameBytes) { Reset(); }
  // True when b completed a frame; take it with Take() before the next Push. Inline: every
  // byte the host sends goes through it.
  bool Push(uint8_t b) {
    if (m_done) Reset();
    if (b == kFlag) {
      if (m_frame.bytes.empty() && !m_frame.overflow) {
        m_frame.opening = kFlag;  // nothing between two flags: it opened what follows
        return false;
      }
      m_done = true;
      return true;
    }
    if (m_frame.overflow) return false;  // discard up to the next flag
    if (b == kDmOpen && m_frame.bytes.empty()) {
      m_frame.opening = kDmOpen;
      return false;
    }
    if (m_frame.bytes.size() >= m_max) {
      m_frame.bytes.clear();
      m_frame.bytes.shrink_to_fit();
      m_frame.overflow = true;
      return false;
    }
    m_frame.bytes.push_back(b);
    return false;
  }
  RawFrame Take();
  void Reset();
  bool InFrame() const { return !m_frame.bytes.empty() || m_frame.opening != 0 || m_frame.overflow; }

 private:
  static constexpr size_t kReservedFrameBytes = 4608;
  size_t m_max;
  RawFrame m_frame;
  bool m_done = false;
};

struct DecodedRequest {
  std::vector<uint8_t> unescaped;  // the whole frame, FCS bytes included
  std::vector<uint8_t> payload;    // without the two FCS bytes (all bytes when too short)
  bool fcsOk = false;
  bool escapeError = false;      // the frame ended inside an escape
};

// Unescapes a request and checks its trailing FCS-16 (low byte first).
DecodedRequest DecodeRequest(const std::vector<uint8_t>& escaped);

}  // namespace sim
