#pragma once
// Reads --json's output line by line and checks every object against the schema in
// docs/events-v1.schema.json and the format README.md documents: the common fields, each event's fields and their types, and the order for each
// device (started first; phases, progress that only goes forward or starts over at 0 after an
// erase; exactly one finished, last, whose exit status is that of its outcome; "dropped" events
// where a slow reader missed some).
#include <map>
#include <string>
#include <vector>

struct DeviceStream {
  std::string outcome;
  int exit = -1;
  int signal = 0;  // of a handset whose process ended by a signal
  std::vector<std::string> phases;
  std::string sw;
  int progressEvents = 0;
  int lastBlock = -1;
  int blocks = 0;
  std::vector<std::string> logKinds;
  int droppedProgress = 0;  // as "dropped" events said
  int droppedLog = 0;
};

struct StreamCheck {
  std::string errors;  // one line for each fault; empty when the stream is as documented
  std::map<std::string, DeviceStream> devices;
};

// devices: the device paths the stream is about; every one must have its finish.
StreamCheck CheckEventStream(const std::string& text, const std::vector<std::string>& devices);

// A watch's stream: port events ("port", "state" appeared or gone, alternating for each link,
// appeared first) and, for each link, downloads one after another, each one checked as above.
struct WatchStreamCheck {
  std::string errors;
  std::map<std::string, std::vector<std::string>> ports;      // each link's states in order
  std::map<std::string, std::vector<DeviceStream>> downloads;  // each link's downloads in order
};
WatchStreamCheck CheckWatchStream(const std::string& text);
