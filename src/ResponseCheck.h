#pragma once
// Judging one reply of the handset by the table its engine state uses, and reading the version
// reply's texts. Pure functions of the reply's bytes and length: no check reads a byte the
// reply does not have.
#include <cstddef>
#include <cstdint>
#include <string>

#include "EngineEvents.h"

// The version reply is read up to its revision at offsets 50 and 51.
constexpr size_t kVersionReplySize = 52;
constexpr uint8_t kVersionCmd = 0x00;
constexpr uint8_t kAckCode = 0x02;
constexpr uint8_t kNakCrcCode = 0xA1;  // the refusal of a frame whose check failed

struct ReplyVerdict {
  bool accepted = false;
  bool logged = false;  // a line goes to the log (an empty one included)
  int32_t kind = 0;     // 1 blue, 3 red
  std::string text;
};

// A reply to a DM request whose command code was lastCmd.
ReplyVerdict JudgeDmReply(const uint8_t* reply, size_t size, uint8_t lastCmd);
// A reply in download mode (the code names no request).
ReplyVerdict JudgeDloadReply(const uint8_t* reply, size_t size);
// A reply to a ToDM sequence: AA AF, nothing logged either way.
ReplyVerdict JudgeToDmReply(const uint8_t* reply, size_t size);

// The phone information of a version reply of at least kVersionReplySize bytes.
PhoneInfo DecodeVersionReply(const uint8_t* reply);
