#pragma once
// How a command of tarvisel-cli ended, and the exit status and words for each end.
#include <string>

#include "EngineEvents.h"

enum : int {
  kExitOk = 0,           // the command completed
  kExitNoReply = 1,      // the handset stopped answering, refused every send of a request or could not be
                         // trusted, or --timeout ran out
  kExitUsage = 2,        // bad command line
  kExitRefused = 3,      // image or range refused
  kExitDeclined = 4,     // a question answered No
  kExitPort = 5,         // the port could not be opened or the line broke
  kExitInterrupted = 130,
};

// The engine's outcomes and the front-end's own ends.
enum class RunEnd {
  Completed, NoReply, HandsetRefused, Refused, Declined, PortFailed, LineBroke, Stopped, ReadError, OutOfStep,
  Timeout,      // --timeout ran out
  Interrupted,  // Ctrl-C twice
};

RunEnd EndOfOutcome(Outcome outcome);
int ExitStatusOf(RunEnd end);
// A few words for the result line.
std::string DescribeEnd(RunEnd end);
// The name in machine-readable output: "completed", "no-reply", ...
const char* EndName(RunEnd end);
