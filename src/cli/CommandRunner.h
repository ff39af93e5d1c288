#pragma once
// Runs one command of tarvisel-cli on the window's engine in real time and returns the exit
// status. The console's streams and whether they are terminals come from the caller.
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "EngineEvents.h"

struct ConsoleStreams {
  std::ostream& out;  // the command's results (Info's version, the port list), or --json's events
  std::ostream& err;  // the log, the boxes, progress and notes
  std::istream& in;   // answers to questions
  bool errIsTerminal = false;
  bool inIsTerminal = false;
  bool colour = true;  // colours on a terminal: off when NO_COLOR is set and not empty
  // out's descriptor, for a station's and a watch's --json, which never wait on a slow reader;
  // -1: out is written as a stream (one in memory).
  int outFd = -1;
};

// Whether a terminal gets colours, from the NO_COLOR variable's value (null when unset).
bool ColourWanted(const char* noColor);

// The devices of the handsets the options name, in the order given: --device paths as given,
// else the devices of the --port numbers, else that of the stored PORT.
std::vector<std::string> HandsetDevices(const CliOptions& options);
// The engine's command for a command of the command line; none for `ports`.
std::optional<EngineCommand> EngineCommandOf(CliCommand command);
// The speed the command runs at, in bit/s: --speed, else the stored BAUD.
std::optional<int> SelectedSpeed(const CliOptions& options);

// Runs download, info and todm on one handset. Call on the main thread before any other thread
// is started: it takes SIGINT and SIGTERM for itself for the time of the run.
int RunLinkCommand(const CliOptions& options, const std::string& device, ConsoleStreams& console);
// `ports`: the devices present and where COM1 and COM2 point.
// With --json, the same facts as JSON Lines; a running ModemManager is named.
int RunPortsCommand(const CliOptions& options, ConsoleStreams& console);
