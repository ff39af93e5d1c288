#include "ReadOnlyFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

CReadOnlyFile::~CReadOnlyFile() { Close(); }

bool CReadOnlyFile::Open(const std::string& path) {
  Close();
  m_openErrno = 0;
  m_refusedType = 0;
  // O_NONBLOCK so that a FIFO at the path cannot hang the UI thread in open(); it is refused below.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    m_openErrno = errno;
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    m_openErrno = errno;
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    m_refusedType = st.st_mode & S_IFMT;
    ::close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}

std::string CReadOnlyFile::OpenFailure() const {
  switch (m_refusedType) {
    case 0: break;
    case S_IFDIR: return "It is a folder, not a file.";
    case S_IFIFO: return "It is a FIFO (named pipe), not a regular file.";
    case S_IFCHR:
    case S_IFBLK: return "It is a device, not a regular file.";
    default: return "It is not a regular file.";
  }
  switch (m_openErrno) {
    case 0: return {};
    case EACCES:
    case EPERM: return "Permission denied: this user may not read the file.";
    case ENOENT: return "No such file.";
    default: return std::string(std::strerror(m_openErrno)) + ".";
  }
}

void CReadOnlyFile::Close() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

bool CReadOnlyFile::GetSize(uint64_t& size) const {
  struct stat st {};
  if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || st.st_size < 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool CReadOnlyFile::GetStamp(Stamp& stamp) const {
  struct stat st {};
  if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || st.st_size < 0) return false;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.mtimeSec = st.st_mtim.tv_sec;
  stamp.mtimeNsec = st.st_mtim.tv_nsec;
  return true;
}

CReadOnlyFile::ReadResult CReadOnlyFile::ReadAt(uint64_t offset, uint8_t* buf, size_t count,
                                                size_t& got) const {
  got = 0;
  if (m_fd < 0) return ReadResult::Error;
  constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  while (got < count) {
    uint64_t at = offset + got;
    if (at > kMaxOffset) return ReadResult::Short;  // nothing can lie beyond the largest offset
    ssize_t n = ::pread(m_fd, buf + got, count - got, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadResult::Error;
    }
    if (n == 0) return ReadResult::Short;
    got += static_cast<size_t>(n);
  }
  return ReadResult::Full;
}
