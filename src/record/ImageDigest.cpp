#include "ImageDigest.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "platform/UniqueFd.h"

std::string FileSha256(const std::string& path) {
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  return text;
}
