#pragma once
// The exit statuses of tarvisel-cli, and how the window's boxes and log lines map to them.
#include <optional>
#include <string>

enum : int {
  kExitOk = 0,           // the command completed
  kExitNoReply = 1,      // the engine gave up waiting, or --timeout ran out
  kExitUsage = 2,        // bad command line
  kExitRefused = 3,      // image or range refused
  kExitDeclined = 4,     // a question answered No
  kExitPort = 5,         // the port could not be opened or the line broke
  kExitInterrupted = 130,
};

// The status a message box ends the command with, given the answer it got; none when the
// command goes on (a question answered Yes).
std::optional<int> StatusOfMessageBox(const std::string& text, unsigned type, int answer);
// The status a log line ends the command with; none for the lines of a command going on.
std::optional<int> StatusOfLogLine(const std::string& text);
// A few words for the result line.
std::string DescribeExitStatus(int status);
