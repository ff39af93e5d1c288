#include <gtest/gtest.h>

#include <string>

#include "platform/CodePage.h"

namespace {

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

TEST(CodePage, HandsetTextsBecomeUtf8) {
  struct {
    std::string cp949;
    std::string utf8;
  } cases[] = {
      {"Jan 01 2004", "Jan 01 2004"},
      {"\xB1\xBC\xB8\xB2", "굴림"},
      {"\xB4\xDC\xB8\xBB\xB1\xE2", "단말기"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Cp949ToUtf8(c.cp949), c.utf8);
}

TEST(CodePage, WhatDoesNotDecodeIsReplacedNeverPassedOn) {
  const std::string replacement = "\xEF\xBF\xBD";
  struct {
    std::string cp949;
    std::string utf8;
  } cases[] = {
      {"AB\xB1", "AB" + replacement},              // lead byte cut off at the end
      {"\xFF\xFF", replacement + replacement},      // never valid
      {"x\x80y", "x" + replacement + "y"},
      {"\xB1\xBC\xFF\xB1\xBC", "굴" + replacement + "굴"},
  };
  for (const auto& c : cases) {
    const std::string out = Cp949ToUtf8(c.cp949);
    EXPECT_EQ(out, c.utf8);
    EXPECT_TRUE(IsValidUtf8(out));
  }
  // Every byte pair decodes to valid UTF-8 whatever it is.
  for (int a = 0; a < 256; a += 3) {
    for (int b = 0; b < 256; b += 5) {
      const std::string in{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_TRUE(IsValidUtf8(Cp949ToUtf8(in))) << a << " " << b;
    }
  }
}

}  // namespace
