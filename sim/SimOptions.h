#pragma once
// The command line of tarvisel-sim.
#include <cstddef>
#include <string>
#include <vector>

#include "Scenario.h"

namespace sim {

struct SimOptions {
  CScenario scenario;
  size_t flashSize = size_t{16} << 20;
  std::string saveFlash;  // written at exit
  std::string record;     // frame record, one line per frame
  std::string link;       // symbolic link to the slave
  std::string lineLog;    // every byte on the line, with its time
  bool pace = false;
  bool exitAfterDownload = false;
  bool verbose = false;   // frame record on stderr too
  bool help = false;
  bool version = false;
};

// args without the program name. False with error set on a bad command line.
bool ParseSimArgs(const std::vector<std::string>& args, SimOptions& options, std::string& error);
std::string SimUsage();

}  // namespace sim
