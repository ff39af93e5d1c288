#pragma once
// `tarvisel-cli history`: the rows of the record on standard output, newest first, as a table,
// CSV or JSON Lines; the summary on standard error. Exit 0, or 1 when the record cannot be read.
#include "CliOptions.h"
#include "CommandRunner.h"

int RunHistoryCommand(const CliOptions& options, ConsoleStreams& console);
