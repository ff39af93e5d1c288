#pragma once
// The links of a folder of serial ports as they come and go (/dev/serial/by-id, where udev
// makes a link when a USB serial port is plugged in and removes it when it is pulled), told by
// inotify. A folder that is not there yet (udev makes /dev/serial/by-id with the first link and
// may remove it with the last) is waited for by watching the nearest folder above it that is.
#include <set>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

struct PortChange {
  enum class Kind { Appeared, Gone };
  Kind kind;
  std::string path;  // the folder's path joined with the link's name
  bool operator==(const PortChange&) const = default;
};

class CPortFolder {
 public:
  explicit CPortFolder(std::string dir);

  // Sets up inotify. False with why (no inotify); a folder that is missing is no failure.
  bool Start(std::string& error);
  // Readable when something may have changed.
  int Fd() const { return m_fd.Get(); }
  // What changed since the last call, in the order it happened; the first call gives the links
  // present at the start, sorted by name. A link replaced by another of the same name is gone
  // and has appeared.
  std::vector<PortChange> TakeChanges();
  const std::set<std::string>& Present() const { return m_present; }

 private:
  void Arm();
  void Rescan();
  void Appeared(const std::string& name);
  void Gone(const std::string& name);
  std::string PathOf(const std::string& name) const;

  std::string m_dir;
  CUniqueFd m_fd;
  int m_dirWatch = -1;       // the folder itself
  int m_ancestorWatch = -1;  // the nearest folder above it that exists, while it does not
  std::set<std::string> m_present;  // names
  std::vector<PortChange> m_changes;
};
