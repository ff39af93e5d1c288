#pragma once
// A regular file opened for reading, closed when the object goes. Nothing here blocks on a FIFO
// or device node: anything that is not a regular file is refused at open.
#include <cstddef>
#include <cstdint>
#include <string>

class CReadOnlyFile {
 public:
  enum class ReadResult { Full, Short, Error };

  CReadOnlyFile() = default;
  ~CReadOnlyFile();
  CReadOnlyFile(const CReadOnlyFile&) = delete;
  CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }

  // Size in bytes as the file system reports it now.
  bool GetSize(uint64_t& size) const;

  // Reads up to count bytes at offset; got says how many arrived. Short means the file ended first.
  ReadResult ReadAt(uint64_t offset, uint8_t* buf, size_t count, size_t& got) const;

 private:
  int m_fd = -1;
};
