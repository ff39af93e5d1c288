#pragma once
// Several handsets from one command: a station. Each handset gets a process of its own, this
// program run for that handset alone with --json, so that a hang-up, a time-out or a crash of
// one touches no other and the link's process-wide flags stay one set per process. The station
// reads each process's events from a pipe, shows them, passes them on as its own JSON Lines,
// writes each handset's log file, and decides the exit status from their "finished" events. A
// process that ends without one (a signal, an exit without a result) is that handset's failure.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CliOptions.h"
#include "CommandRunner.h"

struct StationSetup {
  // The program and its arguments that run one handset and write its events as JSON Lines.
  std::function<std::vector<std::string>(const std::string& device)> command;
  // After Ctrl-C twice, the time a handset's process has to end before it is killed.
  std::chrono::milliseconds abortGrace{15000};
  size_t columns = 80;  // the terminal's width
};

// The arguments of program for one handset: the command, image and choices of options, --json
// and --quiet; logs and traces stay with the station.
std::vector<std::string> HandsetCommand(const std::string& program, const CliOptions& options,
                                        const std::string& device);

// Two of the paths that name one device (a /dev/serial/by-id link and its tty), for a usage error.
std::optional<std::pair<std::string, std::string>> SameDeviceTwice(const std::vector<std::string>& devices);

// Runs the command on every device at once and returns the exit status: 0 when every handset
// completed, otherwise that of the first one, in the order given, that did not. Ctrl-C once
// stops every handset as Stop would; twice within 2 s (or SIGTERM) ends them all. Call on the
// main thread before any other thread exists: SIGINT, SIGTERM and SIGCHLD are the station's
// for the time of the run.
int RunStation(const CliOptions& options, const std::vector<std::string>& devices, ConsoleStreams& console,
               const StationSetup& setup);
