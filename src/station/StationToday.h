#pragma once
// Today's downloads in the record of every download, for the foot of the station window.
#include <chrono>
#include <optional>
#include <string>

struct TodayCounts {
  int downloads = 0;  // the handsets' outcomes: completed, failed or stopped
  int completed = 0;
  int stopped = 0;  // by the one at the station: a question answered No, Stop
  int setUp = 0;    // the station's set-up errors (a port that did not open, an image refused): no download
  bool operator==(const TodayCounts&) const = default;
};

// The rows that started since the last local midnight before now; nullopt when the record does
// not exist or cannot be read.
std::optional<TodayCounts> TodayInRecord(const std::string& historyPath, std::chrono::system_clock::time_point now);
// "today in the record: 12 downloads, 10 completed, 2 failed", then ", 1 stopped" and "; 2 set-up
// errors" where there are any.
std::string TodayText(const TodayCounts& counts);
