#include "RecentImages.h"

#include <algorithm>

#include "Registry.h"

namespace {
// One value each: a path may hold any character but NUL.
std::string ValueName(size_t i) { return "RECENT_IMAGE" + std::to_string(i + 1); }
}  // namespace

CRecentImages CRecentImages::OfUser() {
  return CRecentImages(settings::CSettingsFile(settings::DefaultPath(), std::string(CRegistry::kKeyPath),
                                               std::string(CRegistry::kKeyClass)));
}

std::vector<std::string> CRecentImages::List() const {
  std::vector<std::string> paths;
  for (size_t i = 0; i < kKept; ++i) {
    const std::optional<std::string> path = m_file.Query(ValueName(i));
    if (path && !path->empty() && std::find(paths.begin(), paths.end(), *path) == paths.end()) paths.push_back(*path);
  }
  return paths;
}

bool CRecentImages::Add(const std::string& path) const {
  if (path.empty()) return false;
  std::vector<std::string> paths = List();
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
  paths.insert(paths.begin(), path);
  paths.resize(std::min(paths.size(), kKept));
  bool stored = true;
  for (size_t i = 0; i < kKept; ++i) stored = m_file.Set(ValueName(i), i < paths.size() ? paths[i] : "") && stored;
  return stored;
}
