#pragma once
// The engine's states, steps, timers and download types, and the texts the window and the
// engine share.
#include <cstdint>

#include "platform/Translate.h"

// Engine states, download steps and reply timer ids.
enum : int32_t { DL_INFO = 0, DL_TO_DM = 1, DL_VERSION = 2, DL_DM_OFFLINE = 3, DL_DLOAD_MODE = 4, DL_DOWNLOAD = 5 };
enum : int32_t {
  STEP_START = 0, STEP_COPY = 1, STEP_BAUD = 2, STEP_JUMP = 3,
  STEP_RESTART = 4, STEP_ERASE = 5, STEP_WRITE = 6, STEP_DONE = 7
};
enum : uint32_t { TM_REPLY = 0, TM_RUN_VERSION = 1, TM_BLOCK = 2, TM_VERSION = 3 };
// The engine's other waits (CReplyWait): for replies still owed before the next request, before
// a short download-mode request for a second ACK of the last one, and after the final jump for
// a reply that must not come.
constexpr uint32_t TM_WAIT = 4;
// A line in the log now and then while a long wait goes on.
constexpr uint32_t TM_WAIT_NOTE = 5;
// The engine's pauses between steps (the handset changing mode, the ToDM sequence).
constexpr uint32_t TM_PAUSE = 6;
// A handset that answers a request twice does so within milliseconds: the engine's short waits
// in which a second reply can only be a duplicate (or a sign of replies out of step).
constexpr uint32_t kSecondReplyMs = 200;
// Download types: the index in the type list.
enum : int32_t { TYPE_NORMAL = 0, TYPE_EMERGENCY = 1, TYPE_FONT = 2, TYPE_CHANGE_EMERGENCY = 3, TYPE_CHANGE_NORMAL = 4 };

// Log colours, stored blue-green-red.
constexpr uint32_t kColorBlue = 0xFF0000;
constexpr uint32_t kColorRed = 0x0000FF;
constexpr uint32_t kColorBlack = 0x000000;
uint32_t ColorOfLogKind(int32_t kind);

// The line of a reply that could not be read.
inline constexpr const char* kBadFrameText = TrLater("\n[RX]Bad CRC in response packet\n");

// The red line of a download whose replies no longer match its requests.
inline constexpr const char* kOutOfStepText =
    TrLater("Replies out of step with the requests: the download cannot be trusted. Run it again.");
