#pragma once
// The names of the download types in machine-readable output and in the record.
#include <optional>

// "normal", "emergency", "font", "change-emergency", "change-normal" for the type list's index
// (the window's NORMAL ... CHANGE(NORMAL)); "unknown" for any other.
const char* DownloadTypeName(int type);
// The speed list's index as bit/s: 0 -> 57600, 1 -> 115200; none for an index without a speed.
std::optional<int> SpeedOfIndex(int speedIdx);
