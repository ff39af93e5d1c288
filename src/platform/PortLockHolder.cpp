#include "platform/PortLockHolder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

namespace tty {

namespace {

std::optional<LockHolder> HolderOf(const struct stat& st) {
  std::ifstream in("/proc/locks");
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  const auto pid = LockHolderPid(text.str(), major(st.st_dev), minor(st.st_dev), static_cast<unsigned long>(st.st_ino));
  if (!pid) return std::nullopt;
  LockHolder holder{*pid, {}};
  std::ifstream comm("/proc/" + std::to_string(*pid) + "/comm");
  std::getline(comm, holder.program);
  return holder;
}

}  // namespace

std::optional<long> LockHolderPid(std::string_view procLocks, unsigned major, unsigned minor,
                                  unsigned long inode) {
  std::istringstream in{std::string(procLocks)};
  for (std::string line; std::getline(in, line);) {
    // "3: FLOCK  ADVISORY  WRITE 17688 00:1a:3 0 EOF"
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(fields >> number >> kind) || kind == "->") continue;
    if (!(fields >> mode >> access >> pid >> file) || pid <= 0) continue;
    unsigned fileMajor = 0, fileMinor = 0;
    unsigned long fileInode = 0;
    char c1 = 0, c2 = 0;
    std::istringstream id(file);
    if (!(id >> std::hex >> fileMajor >> c1 >> fileMinor >> c2 >> std::dec >> fileInode) || c1 != ':' || c2 != ':')
      continue;
    if (fileMajor == major && fileMinor == minor && fileInode == inode) return pid;
  }
  return std::nullopt;
}

std::optional<LockHolder> LockHolderOfFd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return HolderOf(st);
}

std::optional<LockHolder> LockHolderOfPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return HolderOf(st);
}

}  // namespace tty
