#pragma once
// What the fuzz targets share: a check that stops the run with the input saved, a reader that
// takes its fields from the front of the input (so that a seed is easy to write by hand), and a
// private folder for the targets that need a real file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// A broken invariant: libFuzzer takes the abort as a crash and writes the input out.
#define FUZZ_CHECK(cond, what)                                                          \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "invariant broken at %s:%d: %s (%s)\n", __FILE__, __LINE__, \
                   #cond, what);                                                        \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace fuzz {

class CReader {
 public:
  CReader(const uint8_t* data, size_t size) : m_p(data), m_left(size) {}
  bool Empty() const { return m_left == 0; }
  size_t Left() const { return m_left; }
  // 0 once the input is used up.
  uint8_t U8() {
    if (m_left == 0) return 0;
    --m_left;
    return *m_p++;
  }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  // Up to n bytes, fewer at the end of the input.
  std::vector<uint8_t> Bytes(size_t n) {
    if (n > m_left) n = m_left;
    std::vector<uint8_t> out(m_p, m_p + n);
    m_p += n;
    m_left -= n;
    return out;
  }
  std::vector<uint8_t> Rest() { return Bytes(m_left); }
  // Text up to the next NUL (dropped) or the end of the input.
  std::string Text() {
    std::string out;
    while (m_left > 0) {
      const char c = static_cast<char>(U8());
      if (c == '\0') break;
      out += c;
    }
    return out;
  }

 private:
  const uint8_t* m_p;
  size_t m_left;
};

// A folder of this process's own, removed when the process ends.
class CScratchDir {
 public:
  CScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvisel-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    m_path = pattern;
  }
  ~CScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  CScratchDir(const CScratchDir&) = delete;
  CScratchDir& operator=(const CScratchDir&) = delete;
  std::string File(std::string_view name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

inline const CScratchDir& Scratch() {
  static CScratchDir dir;
  return dir;
}

// Replaces the file's contents; aborts when it cannot, since every later check would be void.
inline void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0, path.c_str());
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0, "write");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace fuzz
