#include "ResponseCheck.h"

#include <cstdio>

#include "platform/CodePage.h"
#include "platform/Translate.h"

namespace {

struct ReplyText {
  uint8_t code;
  const char* text;
};

constexpr ReplyText kDmAccepted[] = {
    {0x00, TrLater("Mobile version received")},
    {0x29, TrLater("Mobile entered DM_OFFLINE mode")},
    {0x3A, TrLater("Mobile entered DOWNLOAD mode")},
};
constexpr ReplyText kDmErrors[] = {
    {0x13, TrLater("Invalid Command Response")},
    {0x15, TrLater("Invalid packet length Response")},
    {0x18, TrLater("Packet not allowed in this mode")},
};
constexpr ReplyText kDloadNaks[] = {
    {0xA1, TrLater("CRC ERROR!!")},
    {0xA2, TrLater("Too large packet!!")},
    {0xA3, TrLater("Invalid command!!")},
    {0xA4, TrLater("Flash error!!")},
};
constexpr const char* kUnknownError = TrLater("Unknown error!!");

template <size_t N>
const char* Lookup(const ReplyText (&table)[N], uint8_t code, const char* otherwise) {
  for (const auto& row : table) {
    if (row.code == code) return row.text;
  }
  return otherwise;
}

ReplyVerdict Logged(bool accepted, int32_t kind, const std::string& text) {
  return ReplyVerdict{accepted, true, kind, text};
}

// Fixed-offset texts of the version reply, cut at the first zero byte as a C string would be.
std::string HandsetText(const std::string& raw) {
  const size_t nul = raw.find('\0');
  return Cp949ToUtf8(nul == std::string::npos ? raw : raw.substr(0, nul));
}

std::string Bytes(const uint8_t* p, size_t offset, size_t n) {
  return std::string(reinterpret_cast<const char*>(p + offset), n);
}

}  // namespace

ReplyVerdict JudgeDmReply(const uint8_t* reply, size_t size, uint8_t lastCmd) {
  if (size == 0) return Logged(false, 3, kUnknownError);
  const uint8_t code = reply[0];
  if (code == lastCmd) {
    if (code == kVersionCmd && size < kVersionReplySize) {
      return Logged(false, 3, TrFormat("Mobile version reply too short: %zu bytes", size));
    }
    return Logged(true, 1, Lookup(kDmAccepted, code, ""));
  }
  return Logged(false, 3, Lookup(kDmErrors, code, kUnknownError));
}

ReplyVerdict JudgeDloadReply(const uint8_t* reply, size_t size) {
  if (size == 0) return Logged(false, 3, kUnknownError);
  if (reply[0] == kAckCode) return ReplyVerdict{true, false, 0, {}};
  return Logged(false, 3, Lookup(kDloadNaks, reply[0], kUnknownError));
}

ReplyVerdict JudgeToDmReply(const uint8_t* reply, size_t size) {
  return ReplyVerdict{size >= 2 && reply[0] == 0xAA && reply[1] == 0xAF, false, 0, {}};
}

PhoneInfo DecodeVersionReply(const uint8_t* p) {
  PhoneInfo info;
  const uint16_t rev = static_cast<uint16_t>(p[50] | (p[51] << 8));
  info.revision = rev;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(rev));
  const std::string d(digits, 4);
  info.swVersion = HandsetText("Ver" + d.substr(0, 2) + "." + d.substr(2, 2) + "    " + Bytes(p, 39, 8));
  info.compiled = HandsetText(Bytes(p, 1, 11) + " " + Bytes(p, 12, 8));
  info.pcbVersion = HandsetText(Bytes(p, 20, 11) + " " + Bytes(p, 31, 8));
  return info;
}
