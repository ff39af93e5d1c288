#include "ReadOnlyFile.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

CReadOnlyFile::~CReadOnlyFile() { Close(); }

bool CReadOnlyFile::Open(const std::string& path) {
  Close();
  // O_NONBLOCK so that a FIFO at the path cannot hang the UI thread in open(); it is refused below.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  return true;
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
