#pragma once
// Today's downloads in the record of every download, for the foot of the station window.
#include <chrono>
#include <optional>
#include <string>

// Handsets' outcomes apart from the station's set-up errors (IsSetupOutcome): those never
// reached a handset's flash, so they are neither completed nor failed downloads.
struct TodayCounts {
  int downloads = 0;  // handsets' outcomes: completed or failed
  int completed = 0;
  int setup = 0;      // set-up errors of the station, not in downloads
  bool operator==(const TodayCounts&) const = default;
};

// The rows that started since the last local midnight before now; nullopt when the record does
// not exist or cannot be read.
std::optional<TodayCounts> TodayInRecord(const std::string& historyPath, std::chrono::system_clock::time_point now);
// "today in the record: 12 downloads, 10 completed, 2 failed", then "; 3 not started (port, image
// or version question)" when there were set-up errors.
std::string TodayText(const TodayCounts& counts);
