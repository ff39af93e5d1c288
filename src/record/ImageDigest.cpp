#include "ImageDigest.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/UniqueFd.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

bool IsImageFile(const std::string& path, std::string& why) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return why = std::strerror(errno), false;
  if (S_ISREG(st.st_mode)) {
    if (::access(path.c_str(), R_OK) == 0) return true;
    return why = std::strerror(errno), false;
  }
  why = S_ISDIR(st.st_mode)    ? "a folder, not a file"
        : S_ISFIFO(st.st_mode) ? "a FIFO, not a regular file"
        : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device, not a regular file"
        : S_ISSOCK(st.st_mode) ? "a socket, not a regular file"
                               : "not a regular file";
  return false;
}

std::string TextSha256(const std::string& text) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  return Hex(digest, sizeof digest);
}

std::string FileSha256(const std::string& path) {
  // Not blocking: the open of a FIFO without a writer would wait for one.
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  sha256_ctx ctx;
  sha256_init(&ctx);
  std::vector<uint8_t> buf(size_t{1} << 16);
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {};
    if (n == 0) break;
    sha256_update(&ctx, static_cast<size_t>(n), buf.data());
  }
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  return Hex(digest, sizeof digest);
}
