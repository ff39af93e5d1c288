#include "support/VirtualJournal.h"

#include <cstdio>

const char* JournalKindName(JournalKind kind) {
  switch (kind) {
    case JournalKind::Message: return "message";
    case JournalKind::SetTimer: return "set-timer";
    case JournalKind::KillTimer: return "kill-timer";
    case JournalKind::Pause: return "pause";
    case JournalKind::MessageBox: return "message-box";
    case JournalKind::FileDialog: return "file-dialog";
    case JournalKind::FontDialog: return "font-dialog";
    case JournalKind::FontValidation: return "font-validation";
    case JournalKind::WaitCursor: return "wait-cursor";
    case JournalKind::Capture: return "capture";
    case JournalKind::Control: return "control";
    case JournalKind::Failure: return "FAILURE";
  }
  return "?";
}

std::string MessageName(uint32_t message) {
  switch (message) {
    case WM_CLOSE: return "WM_CLOSE";
    case WM_COMMAND: return "WM_COMMAND";
    case WM_TIMER: return "WM_TIMER";
    case WM_RX_PACKET: return "WM_RX_PACKET";
    case WM_LOG_TEXT: return "WM_LOG_TEXT";
    case WM_COMM_BREAK: return "WM_COMM_BREAK";
    default: {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(message));
      return hex;
    }
  }
}
