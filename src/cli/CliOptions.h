#pragma once
// The command line of tarvisel-cli: the command, the image and the options, checked.
#include <optional>
#include <string>
#include <vector>

#include "DownloadType.h"

enum class CliCommand { None, Download, Info, ToDm, Ports };
// How the questions the window would ask get their answer.
enum class CliAnswer { Ask, Yes, No };

struct CliOptions {
  CliCommand command = CliCommand::None;
  std::string image;
  int type = 0;                      // the type list index; NORMAL by default
  std::vector<int> ports;            // --port, each 1 or 2, in the order given
  std::vector<std::string> devices;  // --device paths, in the order given; they win over --port
  std::optional<int> speedIdx;       // 0 = 57600, 1 = 115200
  std::optional<std::string> fontAddress;
  std::optional<std::string> fontBlocks;
  CliAnswer answer = CliAnswer::Ask;
  std::string logFile;
  std::string logDir;                // a log file of each handset's own in DIR
  std::string traceFile;
  bool quiet = false;
  bool json = false;                 // JSON Lines on standard output
  std::optional<double> timeoutSecs;
};

enum class CliParse { Ok, Help, Error };

// args without the program name. Help: message holds the help text; Error: what is wrong
// with the command line, and the usage.
CliParse ParseCliArgs(const std::vector<std::string>& args, CliOptions& options, std::string& message);

// The download types by the command line's names or the window's ("CHANGE(NORMAL)"), any case.
std::optional<int> ParseDownloadType(const std::string& text);
// "1", "2", "COM1", "COM2" (any case).
std::optional<int> ParsePortNumber(const std::string& text);
// "57600" -> 0, "115200" -> 1.
std::optional<int> ParseSpeedIndex(const std::string& text);
// How many handsets the options name: the --device paths, else the --port numbers, else the
// stored PORT.
size_t HandsetCount(const CliOptions& options);
