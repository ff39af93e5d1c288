#pragma once
// tarvisel-cli serve: the line at a glance over HTTP, read from the record, until SIGINT or
// SIGTERM. Call on the main thread before any other thread exists.
#include "CliOptions.h"
#include "CommandRunner.h"

int RunServeCommand(const CliOptions& options, ConsoleStreams& console);
