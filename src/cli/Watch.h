#pragma once
// The production line: watch a folder of port links and flash each handset as it is plugged
// in. Each link that appears (and matches --match) gets a download of the image in a handset
// process of its own, as a station starts them; one handset per link at a time. A handset
// whose link goes fails as its line breaks; a link that comes back is a new handset. With
// --retry a download that failed with no reply, a broken line or out of step is tried again
// while the link stays. Ctrl-C once: no new downloads, the running ones finish, exit 0 when
// every handset's download completed, else 1. Ctrl-C again, or SIGTERM: the running downloads
// end as a station's do, exit 130.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CommandRunner.h"
#include "DeviceFacts.h"

struct WatchSetup {
  // The program and its arguments that download to one handset and write its events as JSON Lines.
  std::function<std::vector<std::string>(const std::string& link)> command;
  CDeviceFacts* facts = nullptr;  // the USB ids for --match; null: none known
  // After the second Ctrl-C, the time a handset's process has to end before it is killed.
  std::chrono::milliseconds abortGrace{15000};
  // Between a failed try and the next: a handset unplugged breaks its line before its link goes.
  std::chrono::milliseconds retryPause{1000};
  size_t columns = 80;
};

// Runs until interrupted and returns the exit status. Call on the main thread before any other
// thread exists: SIGINT, SIGTERM and SIGCHLD are the watch's for the time of the run.
int RunWatch(const CliOptions& options, ConsoleStreams& console, const WatchSetup& setup);

// Whether the link's USB adapter is one --match asks for (every link when none is asked for);
// why not, in a few words, when it is not.
bool MatchesPort(const std::string& link, const std::vector<UsbId>& matches, CDeviceFacts* facts, std::string& why);
