#pragma once
// A regular file opened for reading, closed when the object goes. Nothing here blocks on a FIFO
// or device node: anything that is not a regular file is refused at open.
#include <cstddef>
#include <cstdint>
#include <string>

class CReadOnlyFile {
 public:
  enum class ReadResult { Full, Short, Error };

  // What identifies the file's contents as they were at one moment: a file replaced, rewritten,
  // grown or shrunk since has another stamp (unless rewritten to the same size within the file
  // system's clock tick).
  struct Stamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtimeSec = 0, mtimeNsec = 0;
    bool operator==(const Stamp&) const = default;
  };

  CReadOnlyFile() = default;
  ~CReadOnlyFile();
  CReadOnlyFile(const CReadOnlyFile&) = delete;
  CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  // Why the last Open failed, in words for the user: the system's reason (the errno of the failed
  // open is kept) or what the path is instead of a regular file. Empty after a successful open.
  std::string OpenFailure() const;
  int OpenErrno() const { return m_openErrno; }

  // Size in bytes as the file system reports it now.
  bool GetSize(uint64_t& size) const;
  bool GetStamp(Stamp& stamp) const;

  // Reads up to count bytes at offset; got says how many arrived. Short means the file ended first.
  ReadResult ReadAt(uint64_t offset, uint8_t* buf, size_t count, size_t& got) const;

 private:
  int m_fd = -1;
  int m_openErrno = 0;          // of open(2) or fstat(2)
  unsigned m_refusedType = 0;   // S_IFMT bits of a path that opened but is no regular file
};
