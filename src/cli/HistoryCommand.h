#pragma once
// `tarvisel-cli history`: the rows of the record on standard output, newest first, as a table,
// CSV or JSON Lines; the summary on standard error. With --record (or TARVISEL_RECORD) the
// line's shared record instead of the station's own, and a word on each station whose clock is off. Exit 0, or 1 when the record cannot be read.
#include "CliOptions.h"
#include "CommandRunner.h"

int RunHistoryCommand(const CliOptions& options, ConsoleStreams& console);

// The warning of a station whose clock was skewS seconds off the server's (station minus server).
std::string ClockSkewText(const std::string& station, double skewS);
