#include "DownloadType.h"

const char* DownloadTypeName(int type) {
  static const char* const kNames[] = {"normal", "emergency", "font", "change-emergency", "change-normal"};
  return type >= 0 && type < 5 ? kNames[type] : "unknown";
}

std::optional<int> SpeedOfIndex(int speedIdx) {
  if (speedIdx == 0) return 57600;
  if (speedIdx == 1) return 115200;
  return std::nullopt;
}
