// tarvisel-cli: the download tool's commands without a window.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "CliOptions.h"
#include "CommandRunner.h"
#include "ExitStatus.h"
#include "HistoryCommand.h"
#include "RecordCommand.h"
#include "ServeCommand.h"
#include "Station.h"
#include "Watch.h"
#include "platform/Translate.h"

int main(int argc, char** argv) {
  StartTranslations();
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
  // A reader of --json that goes away must not end a download half done.
  signal(SIGPIPE, SIG_IGN);
  ConsoleStreams console{std::cout, std::cerr, std::cin, isatty(STDERR_FILENO) == 1, isatty(STDIN_FILENO) == 1,
                         ColourWanted(std::getenv("NO_COLOR")), STDOUT_FILENO};
  if (options.command == CliCommand::Ports) return RunPortsCommand(options, console);
  if (options.command == CliCommand::History) return RunHistoryCommand(options, console);
  if (options.command == CliCommand::RecordInit || options.command == CliCommand::RecordSync ||
      options.command == CliCommand::RecordStatus)
    return RunRecordCommand(options, console);
  if (options.command == CliCommand::Serve) return RunServeCommand(options, console);

  // Each handset runs in this very program, started again for it alone.
  std::error_code ec;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  const std::string program = ec ? argv[0] : self;
  winsize size{};
  const bool measured = console.errIsTerminal && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
  if (options.command == CliCommand::Watch) {
    CUdevFacts facts;
    WatchSetup setup;
    setup.command = [&](const std::string& link) { return HandsetCommand(program, options, link); };
    setup.facts = &facts;
    if (measured) setup.columns = size.ws_col;
    return RunWatch(options, console, setup);
  }

  const std::vector<std::string> devices = HandsetDevices(options);
  if (devices.size() == 1) return RunLinkCommand(options, devices.front(), console);
  if (const auto same = SameDeviceTwice(devices)) {
    std::cerr << "tarvisel-cli: " << TrFormat("%s and %s are the same device", same->first.c_str(), same->second.c_str())
              << "\n";
    return kExitUsage;
  }
  StationSetup setup;
  setup.command = [&](const std::string& device) { return HandsetCommand(program, options, device); };
  if (measured) setup.columns = size.ws_col;
  return RunStation(options, devices, console, setup);
}
