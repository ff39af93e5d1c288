#include "EngineEvents.h"

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Completed: return "completed";
    case Outcome::NoReply: return "no-reply";
    case Outcome::HandsetRefused: return "handset-refused";
    case Outcome::Refused: return "refused";
    case Outcome::Declined: return "declined";
    case Outcome::PortFailed: return "port";
    case Outcome::LineBroke: return "line-broke";
    case Outcome::Stopped: return "stopped";
    case Outcome::ReadError: return "read-error";
    case Outcome::OutOfStep: return "out-of-step";
  }
  return "unknown";
}

const char* PhaseName(EnginePhase phase) {
  switch (phase) {
    case EnginePhase::Version: return "version";
    case EnginePhase::DmOffline: return "dm-offline";
    case EnginePhase::DownloadMode: return "download-mode";
    case EnginePhase::Module: return "module";
    case EnginePhase::Erase: return "erase";
    case EnginePhase::Programming: return "programming";
    case EnginePhase::Jump: return "jump";
    case EnginePhase::ToDm: return "todm";
    case EnginePhase::Info: return "info";
  }
  return "unknown";
}

const char* CommandName(EngineCommand command) {
  switch (command) {
    case EngineCommand::Download: return "download";
    case EngineCommand::Info: return "info";
    case EngineCommand::ToDm: return "todm";
  }
  return "unknown";
}
