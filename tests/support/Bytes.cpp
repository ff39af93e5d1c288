#include "support/Bytes.h"

#include <cstdio>
#include <sstream>

#include "Comm/Crc.h"

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string tok;
  while (in >> tok) out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* bytes, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    s += buf;
  }
  return s;
}

std::string ToHex(const std::vector<uint8_t>& bytes) { return ToHex(bytes.data(), bytes.size()); }

std::vector<uint8_t> EscapeAndClose(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> wire;
  for (uint8_t b : body) {
    if (b >= 0x7D && b <= 0x7F) {
      wire.push_back(0x7D);
      wire.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
      wire.push_back(b);
    }
  }
  wire.push_back(0x7E);
  return wire;
}

std::vector<uint8_t> Crc30Reply(std::vector<uint8_t> body) {
  const uint32_t c = crc::Crc30(body.data(), body.size() * 8);
  for (int s = 24; s >= 0; s -= 8) body.push_back(static_cast<uint8_t>(c >> s));
  return EscapeAndClose(body);
}

std::vector<uint8_t> Fcs16Reply(std::vector<uint8_t> body) {
  const uint16_t c = crc::Fcs16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(c & 0xFF));
  body.push_back(static_cast<uint8_t>(c >> 8));
  return EscapeAndClose(body);
}
