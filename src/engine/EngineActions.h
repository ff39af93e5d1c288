#pragma once
// What the download core asks of whoever drives it: frames to send, timers to arm, lines for
// the log, questions, and what the front-ends hear of the command. The driver carries them out
// in order; answers (a block read from the image, the user's answer to a question) go back to
// the core as events.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "EngineEvents.h"

namespace engine {

struct ArmTimer {
  uint32_t id = 0;
  uint32_t ms = 0;
};
struct KillTimer {
  uint32_t id = 0;
};
// A request framed for the line; a resend carries no log line.
struct SendFrame {
  std::vector<uint8_t> payload;
  bool dload = false;  // download-mode framing (else DM)
  std::string log;     // the request's log line, "" for none
};
// One of the ToDM sequences, raw bytes at 9600 bit/s.
struct SendToDm {
  int step = 0;
};
// The port's speed changes (toggleCheck: the DM check and speed change together).
struct ChangeSpeed {
  uint32_t baud = 0;
  bool toggleCheck = false;
};
// A log line: queued ones go through the text queue (kind), the rest are shown at once (color).
struct LogLine {
  bool queued = false;
  int32_t kind = 0;
  uint32_t color = 0;
  std::string text;
};
// A message box with an OK button.
struct Notice {
  std::string text;
  unsigned flags = 0;
};
// "S/W version is different. Downloading continue?": answered by CDownloadCore::OnVersionAnswer.
struct AskVersion {
  std::string text;
};
// The block to send next: answered by CDownloadCore::OnBlock or OnBlockUnreadable.
struct ReadBlock {
  uint32_t startAddr = 0;
  uint32_t index = 0;
  bool font = false;
};
// The wait cursor of a long wait (the erase).
struct WaitCursor {
  bool on = false;
};
// The phone information was blanked before it is read again.
struct ClearPhone {};
struct ShowPhone {
  PhoneInfo info;
};

// What the front-ends hear (CEngineEvents), in order.
struct Started {
  EngineCommand command = EngineCommand::Download;
};
struct PhaseEntered {
  EnginePhase phase = EnginePhase::Module;
};
struct Progress {
  BlockProgress progress;
};
struct Resent {
  ResendInfo info;
};
struct Programmed {
  uint64_t elapsedMs = 0;
};
struct Finished {
  EngineCommand command = EngineCommand::Download;
  Outcome outcome = Outcome::Completed;
};

using Action = std::variant<ArmTimer, KillTimer, SendFrame, SendToDm, ChangeSpeed, LogLine, Notice, AskVersion,
                            ReadBlock, WaitCursor, ClearPhone, ShowPhone, Started, PhaseEntered, Progress, Resent,
                            Programmed, Finished>;

}  // namespace engine
