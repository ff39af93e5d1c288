#pragma once
// Today's downloads in the record of every download, for the foot of the station window.
#include <chrono>
#include <optional>
#include <string>

struct TodayCounts {
  int downloads = 0;
  int completed = 0;
  bool operator==(const TodayCounts&) const = default;
};

// The rows that started since the last local midnight before now; nullopt when the record does
// not exist or cannot be read.
std::optional<TodayCounts> TodayInRecord(const std::string& historyPath, std::chrono::system_clock::time_point now);
// "today in the record: 12 downloads, 10 completed, 2 failed"
std::string TodayText(const TodayCounts& counts);
