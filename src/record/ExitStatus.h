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

// What a recorded outcome says of its handset, for the counts of the record: its download
// completed or failed; it was stopped by the one at the station (a question answered No, Stop,
// Ctrl-C); or the station's own set-up kept it from starting (a port that could not be opened,
// an image or range refused, a usage error), which is no handset's failure.
enum class OutcomeGroup { Completed, Failed, Stopped, SetUp };
OutcomeGroup GroupOfOutcome(const std::string& outcome);
