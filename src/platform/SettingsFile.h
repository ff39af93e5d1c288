#pragma once
// The file that stands in for a registry key on this platform (its text: SettingsFormat.h).
// Every call opens the file, works and closes it again; nothing is cached between calls.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace settings {

// The user's settings file: $TARVISEL_SETTINGS when set, else $XDG_CONFIG_HOME/tarvisel/settings,
// else ~/.config/tarvisel/settings. A machine-wide file would not be writable by an ordinary user.
// Empty when no home folder can be found.
std::filesystem::path DefaultPath();

class CSettingsFile {
 public:
  // Called once the new file is complete on disk, just before it replaces the old one; returning
  // false abandons the write. Lets a test stop a write where a crash would.
  using BeforeReplace = std::function<bool()>;

  CSettingsFile(std::filesystem::path path, std::string keyPath, std::string keyClass,
                BeforeReplace beforeReplace = {});

  // The stored text of the value. nullopt when the value is missing or the file can't be read, is
  // not a regular file, is not a file of this key or is far too large to be one.
  std::optional<std::string> Query(std::string_view name) const;

  // Stores the value, creating the folder and the file when they are missing. The new file is
  // written beside the old one, flushed to disk and renamed over it, so a crash leaves one or the
  // other whole. A symbolic link is followed, not replaced. Writers are serialised by a lock on the
  // folder, so two programs writing at once don't lose each other's values. False when nothing was
  // stored, and also when an existing file can't be read or isn't a file of this key (its other
  // values would be lost) or is read-only.
  bool Set(std::string_view name, std::string_view text) const;

 private:
  std::filesystem::path m_path;
  std::string m_keyPath;
  std::string m_keyClass;
  BeforeReplace m_beforeReplace;
};

}  // namespace settings
