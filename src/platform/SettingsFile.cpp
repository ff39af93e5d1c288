#include "platform/SettingsFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/SettingsFormat.h"

namespace settings {
namespace {

namespace fs = std::filesystem;

// A settings file holds a few short values; anything much larger is not one of ours.
constexpr size_t kMaxFileSize = 1 << 20;
constexpr mode_t kNewFileMode = 0600;

class CFd {
 public:
  explicit CFd(int fd = -1) : m_fd(fd) {}
  ~CFd() { Close(); }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  bool Close() {
    if (m_fd < 0) return true;
    // After close() the descriptor is gone whatever it returns; don't retry on EINTR.
    return ::close(std::exchange(m_fd, -1)) == 0;
  }

 private:
  int m_fd;
};

template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// A new file beside the target; removed again unless it was renamed into place.
class CTempFile {
 public:
  explicit CTempFile(const fs::path& target)
      : m_path((target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string()),
        m_fd(::mkostemp(m_path.data(), O_CLOEXEC)) {
    if (!m_fd.Valid()) m_path.clear();
  }
  ~CTempFile() {
    m_fd.Close();
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;

  bool Valid() const { return m_fd.Valid(); }

  // Writes everything, flushes it to the disk and closes the file.
  bool Finish(std::string_view data, mode_t mode) {
    while (!data.empty()) {
      const ssize_t n = RetryOnEintr([&] { return ::write(m_fd.Get(), data.data(), data.size()); });
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return ::fchmod(m_fd.Get(), mode) == 0 && RetryOnEintr([&] { return ::fsync(m_fd.Get()); }) == 0 &&
           m_fd.Close();
  }

  bool RenameTo(const fs::path& target) {
    if (::rename(m_path.c_str(), target.c_str()) != 0) return false;
    m_path.clear();
    return true;
  }

 private:
  std::string m_path;  // before m_fd: mkostemp fills in its name
  CFd m_fd;
};

enum class FileState { kMissing, kOurs, kForeign, kUnreadable };

struct LoadedFile {
  FileState state = FileState::kUnreadable;
  KeyContents doc;
  mode_t mode = kNewFileMode;
};

LoadedFile Load(const fs::path& path, std::string_view keyPath) {
  LoadedFile file;
  // O_NONBLOCK: a FIFO in the file's place must not hang the caller until someone writes to it.
  CFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
  if (!fd.Valid()) {
    if (errno == ENOENT) file.state = FileState::kMissing;
    return file;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return file;
  file.mode = st.st_mode & 07777;

  std::vector<char> text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = RetryOnEintr([&] { return ::read(fd.Get(), chunk, sizeof chunk); });
    if (n < 0) return file;
    if (n == 0) break;
    text.insert(text.end(), chunk, chunk + n);
    if (text.size() > kMaxFileSize) {
      file.state = FileState::kForeign;
      return file;
    }
  }
  auto doc = Parse(std::string_view(text.data(), text.size()), keyPath);
  if (!doc) {
    file.state = FileState::kForeign;
    return file;
  }
  file.state = FileState::kOurs;
  file.doc = std::move(*doc);
  return file;
}

// The file a path finally names, so that a link into a dotfiles folder stays a link.
fs::path FollowLinks(fs::path path) {
  for (int depth = 0; depth < 40; ++depth) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec)) || ec) break;
    fs::path target = fs::read_symlink(path, ec);
    if (ec) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

fs::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
      *found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

fs::path DefaultPath() {
  if (const char* path = std::getenv("TARVISEL_SETTINGS"); path && *path) return path;
  // A relative XDG_CONFIG_HOME is to be ignored.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return fs::path(config) / "tarvisel" / "settings";
  }
  fs::path home = HomeFolder();
  if (home.empty()) return {};
  return home / ".config" / "tarvisel" / "settings";
}

CSettingsFile::CSettingsFile(fs::path path, std::string keyPath, std::string keyClass,
                             BeforeReplace beforeReplace)
    : m_path(std::move(path)),
      m_keyPath(std::move(keyPath)),
      m_keyClass(std::move(keyClass)),
      m_beforeReplace(std::move(beforeReplace)) {}

std::optional<std::string> CSettingsFile::Query(std::string_view name) const {
  if (m_path.empty()) return std::nullopt;
  // No lock: a writer renames a complete file into place, so a reader sees the old or the new one.
  LoadedFile file = Load(m_path, m_keyPath);
  if (file.state != FileState::kOurs) return std::nullopt;
  const std::string* text = file.doc.Find(name);
  if (!text) return std::nullopt;
  return *text;
}

bool CSettingsFile::Set(std::string_view name, std::string_view text) const {
  if (m_path.empty()) return false;
  const fs::path target = FollowLinks(m_path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return false;

  CFd folderFd(RetryOnEintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!folderFd.Valid()) return false;
  // Best effort: some network file systems refuse the lock, and a setting should still be saved
  // there. The lock goes with folderFd.
  RetryOnEintr([&] { return ::flock(folderFd.Get(), LOCK_EX); });

  LoadedFile file = Load(target, m_keyPath);
  if (file.state == FileState::kUnreadable || file.state == FileState::kForeign) return false;
  // The rename would succeed on a file made read-only, but that file is meant to stay as it is.
  if (file.state == FileState::kOurs && ::access(target.c_str(), W_OK) != 0) return false;
  // Like a registry key, a file keeps the class it was created with.
  if (file.doc.keyClass.empty()) file.doc.keyClass = m_keyClass;
  file.doc.Set(name, text);

  CTempFile temp(target);
  if (!temp.Valid() || !temp.Finish(Format(file.doc, m_keyPath), file.mode)) return false;
  if (m_beforeReplace && !m_beforeReplace()) return false;
  if (!temp.RenameTo(target)) return false;
  // The rename is what makes the value visible; flushing the folder only makes it survive a power
  // cut sooner, and some file systems can't, so its result does not decide.
  RetryOnEintr([&] { return ::fsync(folderFd.Get()); });
  return true;
}

}  // namespace settings
