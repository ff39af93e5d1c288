#pragma once
// What a station and a watch do alike with a handset process's events and with its end: each
// event taken into the handset's status, passed on under --json on the caller's clock and with
// the device as the caller knows it, its log lines written to the handset's log and the worst
// of them shown; a process that ended without a result concluded as that handset's failure,
// with the row the process could not write.
#include <cstddef>
#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CliOptions.h"
#include "HandsetProcess.h"
#include "LogDir.h"
#include "StationView.h"

struct HandsetOutlets {
  CStationView& view;
  std::function<void(const nlohmann::ordered_json&)> emit;  // --json's stream
  bool quiet = false;
};

// One line of the process's standard output. t: seconds on the caller's clock.
void PassOnHandsetLine(HandsetStatus& status, size_t index, CHandsetLog& log, const std::string& line, double t,
                       HandsetOutlets& out);

// The process has ended and its pipes are read: a result it gave stands (a process that then
// ended otherwise is worth a line); without one, the handset's "started" (if it never came) and
// "finished" are made here, its last words on standard error go to its log, and its row goes to
// the record. aborted / stopped: the caller had sent it SIGTERM / SIGINT.
void ConcludeHandset(HandsetStatus& status, size_t index, CHandsetLog& log, const CHandsetProcess& process, double t,
                     bool aborted, bool stopped, const CliOptions& options, HandsetOutlets& out);
