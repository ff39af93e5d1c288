#pragma once
// Owns one file descriptor: closed when the owner goes.
#include <unistd.h>

#include <utility>

class CUniqueFd {
 public:
  CUniqueFd() = default;
  explicit CUniqueFd(int fd) : m_fd(fd) {}
  ~CUniqueFd() { Reset(); }
  CUniqueFd(CUniqueFd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
  CUniqueFd& operator=(CUniqueFd&& o) noexcept {
    if (this != &o) {
      Reset();
      m_fd = std::exchange(o.m_fd, -1);
    }
    return *this;
  }
  CUniqueFd(const CUniqueFd&) = delete;
  CUniqueFd& operator=(const CUniqueFd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};
