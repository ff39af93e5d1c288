// tarvisel-cli: the download tool's commands without a window.
#include <unistd.h>

#include <iostream>

#include "CliOptions.h"
#include "CommandRunner.h"
#include "ExitStatus.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  CliOptions options;
  std::string message;
  switch (ParseCliArgs(args, options, message)) {
    case CliParse::Help:
      std::cout << message;
      return kExitOk;
    case CliParse::Error:
      std::cerr << "tarvisel-cli: " << message << "\n";
      return kExitUsage;
    case CliParse::Ok:
      break;
  }
  ConsoleStreams console{std::cout, std::cerr, std::cin, isatty(STDERR_FILENO) == 1, isatty(STDIN_FILENO) == 1};
  if (options.command == CliCommand::Ports) return RunPortsCommand(console);
  return RunLinkCommand(options, console);
}
