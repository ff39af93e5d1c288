#pragma once
// What a completed download must leave in the flash: the image's bytes over its range and every
// other byte as it was before the download.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// want: the image's bytes for flash[from, to).
inline void ExpectImageInRangeOnly(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& before,
                                   const uint8_t* want, size_t from, size_t to, const std::string& label) {
  ASSERT_LE(to, flash.size()) << label;
  ASSERT_EQ(flash.size(), before.size()) << label;
  EXPECT_TRUE(std::equal(flash.begin() + from, flash.begin() + to, want))
      << label << ": completed, but the flash differs from the image";
  EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + from, before.begin()) &&
              std::equal(flash.begin() + to, flash.end(), before.begin() + to))
      << label << ": flash outside the range changed";
}
