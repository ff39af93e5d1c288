#pragma once
// Runs one command of tarvisel-cli on the window's engine in real time and returns the exit
// status. The console's streams and whether they are terminals come from the caller.
#include <istream>
#include <ostream>

#include "CliOptions.h"

struct ConsoleStreams {
  std::ostream& out;  // the command's results (Info's version, the port list)
  std::ostream& err;  // the log, the boxes, progress and notes
  std::istream& in;   // answers to questions
  bool errIsTerminal = false;
  bool inIsTerminal = false;
};

// Runs download, info and todm. Call on the main thread before any other thread is started:
// it takes SIGINT and SIGTERM for itself for the time of the run.
int RunLinkCommand(const CliOptions& options, ConsoleStreams& console);
// `ports`: the devices present and where COM1 and COM2 point.
int RunPortsCommand(ConsoleStreams& console);
