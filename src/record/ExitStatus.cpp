#include "ExitStatus.h"

#include "platform/Translate.h"

RunEnd EndOfOutcome(Outcome outcome) {
  switch (outcome) {
    case Outcome::Completed: return RunEnd::Completed;
    case Outcome::NoReply: return RunEnd::NoReply;
    case Outcome::HandsetRefused: return RunEnd::HandsetRefused;
    case Outcome::Refused: return RunEnd::Refused;
    case Outcome::Declined: return RunEnd::Declined;
    case Outcome::PortFailed: return RunEnd::PortFailed;
    case Outcome::LineBroke: return RunEnd::LineBroke;
    case Outcome::Stopped: return RunEnd::Stopped;
    case Outcome::ReadError: return RunEnd::ReadError;
    case Outcome::OutOfStep: return RunEnd::OutOfStep;
  }
  return RunEnd::NoReply;
}

int ExitStatusOf(RunEnd end) {
  switch (end) {
    case RunEnd::Completed: return kExitOk;
    case RunEnd::NoReply:
    case RunEnd::HandsetRefused:
    case RunEnd::OutOfStep:
    case RunEnd::Timeout:
      return kExitNoReply;
    case RunEnd::Refused:
    case RunEnd::ReadError:
      return kExitRefused;
    case RunEnd::Declined: return kExitDeclined;
    case RunEnd::PortFailed:
    case RunEnd::LineBroke:
      return kExitPort;
    case RunEnd::Stopped:
    case RunEnd::Interrupted:
      return kExitInterrupted;
  }
  return kExitNoReply;
}

std::string DescribeEnd(RunEnd end) {
  switch (end) {
    case RunEnd::Completed: return Tr("completed");
    case RunEnd::NoReply: return Tr("no reply from the handset");
    case RunEnd::HandsetRefused: return Tr("the handset refused a request every time it went");
    case RunEnd::Refused: return Tr("image or range refused");
    case RunEnd::Declined: return Tr("declined");
    case RunEnd::PortFailed: return Tr("the port could not be opened");
    case RunEnd::LineBroke: return Tr("the line broke");
    case RunEnd::Stopped: return Tr("stopped");
    case RunEnd::ReadError: return Tr("a block could not be read from the image");
    case RunEnd::OutOfStep: return Tr("replies out of step with requests: not to be trusted");
    case RunEnd::Timeout: return Tr("gave up: --timeout ran out");
    case RunEnd::Interrupted: return Tr("interrupted");
  }
  return Tr("failed");
}

const char* EndName(RunEnd end) {
  switch (end) {
    case RunEnd::Completed: return "completed";
    case RunEnd::NoReply: return "no-reply";
    case RunEnd::HandsetRefused: return "handset-refused";
    case RunEnd::Refused: return "refused";
    case RunEnd::Declined: return "declined";
    case RunEnd::PortFailed: return "port";
    case RunEnd::LineBroke: return "line-broke";
    case RunEnd::Stopped: return "stopped";
    case RunEnd::ReadError: return "read-error";
    case RunEnd::OutOfStep: return "out-of-step";
    case RunEnd::Timeout: return "timeout";
    case RunEnd::Interrupted: return "interrupted";
  }
  return "unknown";
}

OutcomeGroup GroupOfOutcome(const std::string& outcome) {
  if (outcome == EndName(RunEnd::Completed)) return OutcomeGroup::Completed;
  if (outcome == EndName(RunEnd::Declined) || outcome == EndName(RunEnd::Stopped) ||
      outcome == EndName(RunEnd::Interrupted))
    return OutcomeGroup::Stopped;
  if (outcome == EndName(RunEnd::PortFailed) || outcome == EndName(RunEnd::Refused) || outcome == "usage")
    return OutcomeGroup::SetUp;
  return OutcomeGroup::Failed;
}
