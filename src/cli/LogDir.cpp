#include "LogDir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ConsoleView.h"
#include "ImageDigest.h"

namespace {

constexpr int kMaxSameName = 1000;
// A file name has at most NAME_MAX (255) bytes: the device's part leaves room for
// "-20261208-091502", "-1000" and ".log".
constexpr size_t kMaxDevicePart = 200;
constexpr size_t kDigestChars = 16;

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
  if (name.empty()) return "%2F";
  if (name.size() <= kMaxDevicePart) return name;
  // Too long for a file name with its time and number: the start as it reads (the maker and
  // serial number of a by-id link), then "~" (escaped in any other name) and a digest of the
  // whole, so that names stay one to one.
  std::string head = name.substr(0, kMaxDevicePart - 1 - kDigestChars);
  const size_t percent = head.rfind('%');
  if (percent != std::string::npos && head.size() - percent < 3) head.erase(percent);  // no %X cut in two
  return head + "~" + TextSha256(name).substr(0, kDigestChars);
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
