#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>

namespace {

class CIconv {
 public:
  CIconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  ~CIconv() {
    if (Ok()) iconv_close(m_cd);
  }
  CIconv(const CIconv&) = delete;
  CIconv& operator=(const CIconv&) = delete;
  bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Without iconv's CP949 tables only ASCII survives; everything else is replaced.
std::string AsciiOnly(const uint8_t* bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] < 0x80) out += static_cast<char>(bytes[i]);
    else out += kReplacement;
  }
  return out;
}

}  // namespace

std::string Cp949ToUtf8(const uint8_t* bytes, size_t count) {
  CIconv cd("UTF-8", "CP949");
  if (!cd.Ok()) return AsciiOnly(bytes, count);
  std::string out;
  char buf[256];
  auto* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  size_t inLeft = count;
  while (inLeft > 0) {
    char* outPtr = buf;
    size_t outLeft = sizeof buf;
    size_t r = iconv(cd.Get(), &in, &inLeft, &outPtr, &outLeft);
    out.append(buf, static_cast<size_t>(outPtr - buf));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a lead byte cut off at the end): replace one byte and go on.
    out += kReplacement;
    ++in;
    --inLeft;
    iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

std::string Cp949ToUtf8(const std::string& bytes) {
  return Cp949ToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
