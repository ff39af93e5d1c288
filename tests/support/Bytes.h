#pragma once
// Hex helpers for wire-level expectations.
#include <cstdint>
#include <string>
#include <vector>

// "7F 0C 14 3A 7E" -> bytes
std::vector<uint8_t> Hex(const std::string& text);
// bytes -> "7F 0C 14 3A 7E"
std::string ToHex(const std::vector<uint8_t>& bytes);
std::string ToHex(const uint8_t* bytes, size_t n);
// A handset's reply on the wire: bytes 7D..7F escaped, then the closing flag.
std::vector<uint8_t> EscapeAndClose(const std::vector<uint8_t>& body);
// The same after appending the CRC-30 of body, most significant byte first.
std::vector<uint8_t> Crc30Reply(std::vector<uint8_t> body);
// The same after appending the FCS-16 of body, low byte first.
std::vector<uint8_t> Fcs16Reply(std::vector<uint8_t> body);
