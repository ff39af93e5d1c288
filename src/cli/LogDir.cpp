#include "LogDir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ConsoleView.h"

namespace {

constexpr int kMaxSameName = 1000;

bool KeptAsIs(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

std::string Stamp(std::time_t start) {
  std::tm tm{};
  localtime_r(&start, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  return stamp;
}

std::string InDir(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

std::string LogNameOfDevice(const std::string& device) {
  std::error_code ec;
  std::string path = std::filesystem::absolute(device, ec).lexically_normal().string();
  if (ec) path = device;
  if (path.rfind("/dev/", 0) == 0) path.erase(0, 5);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (unsigned char c : path) {
    if (c == '/') {
      name += '+';
    } else if (KeptAsIs(c)) {
      name += static_cast<char>(c);
    } else {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 0x0F];
    }
  }
  return name.empty() ? "%2F" : name;
}

std::string HandsetLogPath(const std::string& dir, const std::string& device, std::time_t start) {
  return InDir(dir, LogNameOfDevice(device) + "-" + Stamp(start) + ".log");
}

bool CHandsetLog::Create(const std::string& dir, const std::string& device, std::time_t start, std::string& error) {
  const std::string base = InDir(dir, LogNameOfDevice(device) + "-" + Stamp(start));
  for (int n = 1; n <= kMaxSameName; ++n) {
    const std::string path = base + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".log";
    CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_APPEND, 0644));
    if (fd.Valid()) {
      m_fd = std::move(fd);
      m_path = path;
      return true;
    }
    if (errno != EEXIST) {
      error = "cannot write the log file " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  error = "cannot write a log file " + base + ".log: too many of that name";
  return false;
}

void CHandsetLog::Line(const std::string& text) {
  if (!m_fd.Valid()) return;
  const std::string line = LogTimeStamp() + ' ' + text + '\n';
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(m_fd.Get(), line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk costs the log, not the download
    done += static_cast<size_t>(n);
  }
}

bool LogFolderWritable(const std::string& dir, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    error = "cannot make the log folder " + dir + ": " + ec.message();
    return false;
  }
  // Write permission is not all (a read-only file system, a full disk): try a file.
  std::string probe = InDir(dir, ".tarvisel-probe-XXXXXX");
  CUniqueFd fd(mkostemp(probe.data(), O_CLOEXEC));
  if (!fd.Valid()) {
    error = "cannot write in the log folder " + dir + ": " + std::strerror(errno);
    return false;
  }
  ::unlink(probe.c_str());
  return true;
}
