#include "PortFolder.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
constexpr uint32_t kAncestorEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// A port is a link (by-id's are) or a device node; dot files and anything else are not.
bool IsPort(const std::string& path, const std::string& name) {
  struct stat st {};
  if (name.empty() || name[0] == '.' || ::lstat(path.c_str(), &st) != 0) return false;
  return S_ISLNK(st.st_mode) || S_ISCHR(st.st_mode);
}

}  // namespace

CPortFolder::CPortFolder(std::string dir) : m_dir(std::move(dir)) {
  while (m_dir.size() > 1 && m_dir.back() == '/') m_dir.pop_back();
}

std::string CPortFolder::PathOf(const std::string& name) const { return m_dir + "/" + name; }

bool CPortFolder::Start(std::string& error) {
  m_fd = CUniqueFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!m_fd.Valid()) {
    error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  Arm();
  return true;
}

// Watches the folder if it is there, else the nearest folder above it that is; then takes
// stock, since links may have come or gone while no watch was on them.
void CPortFolder::Arm() {
  for (int wd : {m_dirWatch, m_ancestorWatch})
    if (wd >= 0) inotify_rm_watch(m_fd.Get(), wd);
  m_dirWatch = m_ancestorWatch = -1;
  m_dirWatch = inotify_add_watch(m_fd.Get(), m_dir.c_str(), kFolderEvents);
  if (m_dirWatch < 0) {
    std::error_code ec;
    fs::path up = fs::absolute(m_dir, ec).lexically_normal();
    while (m_ancestorWatch < 0 && up.has_relative_path()) {
      up = up.parent_path();
      m_ancestorWatch = inotify_add_watch(m_fd.Get(), up.c_str(), kAncestorEvents);
    }
    // Made between the first try and the ancestor's watch: then it is there now.
    const int late = inotify_add_watch(m_fd.Get(), m_dir.c_str(), kFolderEvents);
    if (late >= 0) {
      m_dirWatch = late;
      if (m_ancestorWatch >= 0) inotify_rm_watch(m_fd.Get(), m_ancestorWatch);
      m_ancestorWatch = -1;
    }
  }
  Rescan();
}

void CPortFolder::Rescan() {
  std::set<std::string> now;
  std::error_code ec;
  if (m_dirWatch >= 0)
    for (const auto& e : fs::directory_iterator(m_dir, ec)) {
      const std::string name = e.path().filename().string();
      if (IsPort(PathOf(name), name)) now.insert(name);
    }
  std::vector<std::string> gone;
  for (const auto& name : m_present)
    if (!now.count(name)) gone.push_back(name);
  for (const auto& name : gone) Gone(name);
  for (const auto& name : now)
    if (!m_present.count(name)) Appeared(name);
}

void CPortFolder::Appeared(const std::string& name) {
  m_present.insert(name);
  m_changes.push_back({PortChange::Kind::Appeared, PathOf(name)});
}

void CPortFolder::Gone(const std::string& name) {
  if (!m_present.erase(name)) return;
  m_changes.push_back({PortChange::Kind::Gone, PathOf(name)});
}

std::vector<PortChange> CPortFolder::TakeChanges() {
  alignas(inotify_event) char buf[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
  bool rearm = false, rescan = false;
  for (;;) {
    const ssize_t n = ::read(m_fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      const std::string name = e->len ? e->name : "";
      if (e->mask & IN_Q_OVERFLOW) rescan = true;
      if (e->wd == m_ancestorWatch) {
        rearm = true;  // a folder on the way may be there now, or the ancestor went
      } else if (e->wd == m_dirWatch) {
        if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          rearm = true;
        } else if (e->mask & (IN_CREATE | IN_MOVED_TO)) {
          Gone(name);  // the same name again: a new handset
          if (IsPort(PathOf(name), name)) Appeared(name);
        } else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
          Gone(name);
        }
      }
    }
  }
  if (rearm) Arm();
  else if (rescan) Rescan();
  return std::exchange(m_changes, {});
}
