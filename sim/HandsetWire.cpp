#include "HandsetWire.h"

#include <algorithm>

#include "Comm/Crc.h"

namespace sim {

namespace {

void PutEscaped(std::vector<uint8_t>& out, uint8_t b) {
  if (b >= kEscape && b <= kDmOpen) {
    out.push_back(kEscape);
    out.push_back(static_cast<uint8_t>(b ^ kEscapeXor));
  } else {
    out.push_back(b);
  }
}

}  // namespace

uint16_t Crc16Xmodem(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::vector<uint8_t> EncodeReply(const std::vector<uint8_t>& payload, ReplyCheck check,
                                 bool corruptCheck) {
  std::vector<uint8_t> body = payload;
  if (check == ReplyCheck::Crc30) {
    uint32_t c = crc::Crc30(payload.data(), payload.size() * 8);
    if (corruptCheck) c ^= 1;
    body.push_back(static_cast<uint8_t>(c >> 24));
    body.push_back(static_cast<uint8_t>(c >> 16));
    body.push_back(static_cast<uint8_t>(c >> 8));
    body.push_back(static_cast<uint8_t>(c));
  } else if (check == ReplyCheck::Fcs16) {
    uint16_t f = crc::Fcs16(payload.data(), payload.size());
    if (corruptCheck) f ^= 1;
    body.push_back(static_cast<uint8_t>(f & 0xFF));
    body.push_back(static_cast<uint8_t>(f >> 8));
  } else if (check == ReplyCheck::Xmodem) {
    uint16_t c = Crc16Xmodem(payload.data(), payload.size());
    if (corruptCheck) c ^= 1;
    body.push_back(static_cast<uint8_t>(c >> 8));
    body.push_back(static_cast<uint8_t>(c & 0xFF));
  }
  std::vector<uint8_t> out;
  out.reserve(body.size() * 2 + 1);
  if (check == ReplyCheck::None) {
    out = body;
  } else {
    for (uint8_t b : body) PutEscaped(out, b);
  }
  out.push_back(kFlag);
  return out;
}

RawFrame CFrameSplitter::Take() {
  RawFrame out = std::move(m_frame);
  Reset();
  return out;
}

void CFrameSplitter::Reset() {
  m_frame = RawFrame{};
  // Room for a block write at once: grown a byte at a time it is copied a dozen times.
  m_frame.bytes.reserve(std::min<size_t>(m_max, kReservedFrameBytes));
  m_done = false;
}

DecodedRequest DecodeRequest(const std::vector<uint8_t>& escaped) {
  DecodedRequest out;
  std::vector<uint8_t> plain;
  plain.reserve(escaped.size());
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == kEscape) {
      if (i + 1 == escaped.size()) {
        out.escapeError = true;
        break;
      }
      plain.push_back(static_cast<uint8_t>(escaped[++i] ^ kEscapeXor));
    } else {
      plain.push_back(escaped[i]);
    }
  }
  out.unescaped = plain;
  if (plain.size() < 3 || out.escapeError) {
    out.payload = std::move(plain);
    return out;
  }
  const uint16_t got = static_cast<uint16_t>(plain[plain.size() - 2] | (plain.back() << 8));
  plain.resize(plain.size() - 2);
  out.fcsOk = crc::Fcs16(plain.data(), plain.size()) == got;
  out.payload = std::move(plain);
  return out;
}

}  // namespace sim
