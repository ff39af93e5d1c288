#pragma once
// The last images the window opened, newest first, kept in the settings file so that Open's
// menu offers them again after a restart.
#include <string>
#include <vector>

#include "platform/SettingsFile.h"

class CRecentImages {
 public:
  static constexpr size_t kKept = 5;

  explicit CRecentImages(settings::CSettingsFile file) : m_file(std::move(file)) {}
  // The window's own: the user's settings file.
  static CRecentImages OfUser();

  // Newest first, at most kKept, none empty or twice.
  std::vector<std::string> List() const;
  // path to the front (from wherever it was); the oldest beyond kKept go. False when the
  // settings could not be written.
  bool Add(const std::string& path) const;

 private:
  settings::CSettingsFile m_file;
};
