#pragma once
// Outcomes that say nothing of the handset: the station's own set-up stopped the download
// before the handset was asked to take anything (a port that could not be opened, an image
// refused or unreadable, a usage error, a version question answered No or left to wait). Counts
// of failed downloads leave them out and show them apart.
#include <string_view>

inline bool IsSetupOutcome(std::string_view outcome) {
  return outcome == "port" || outcome == "refused" || outcome == "read-error" || outcome == "usage" ||
         outcome == "declined";
}
