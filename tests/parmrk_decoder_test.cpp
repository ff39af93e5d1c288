#include "platform/ParmrkDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
  Bytes data;
  size_t breaks = 0;
  size_t errors = 0;
  size_t held = 0;
};

Outcome DecodeChunks(const std::vector<Bytes>& chunks) {
  CParmrkDecoder decoder;
  Outcome out;
  for (const Bytes& chunk : chunks) {
    decoder.Decode(chunk, out.data);
    const CParmrkDecoder::Marks marks = decoder.TakeMarks();
    out.breaks += marks.breaks;
    out.errors += marks.errors;
  }
  out.held = decoder.HeldData();
  return out;
}

struct Case {
  const char* name;
  std::vector<Bytes> chunks;
  Bytes data;
  size_t breaks;
  size_t errors;
  size_t held;
};

class ParmrkDecoderCases : public ::testing::TestWithParam<Case> {};

TEST_P(ParmrkDecoderCases, DecodesMarks) {
  const Case& c = GetParam();
  const Outcome out = DecodeChunks(c.chunks);
  EXPECT_EQ(out.data, c.data);
  EXPECT_EQ(out.breaks, c.breaks);
  EXPECT_EQ(out.errors, c.errors);
  EXPECT_EQ(out.held, c.held);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParmrkDecoderCases,
    ::testing::Values(
        Case{"plain", {{0x41, 0x00, 0x11, 0x13, 0x0D, 0x0A, 0x7E}},
             {0x41, 0x00, 0x11, 0x13, 0x0D, 0x0A, 0x7E}, 0, 0, 0},
        Case{"doubled_ff", {{0x41, 0xFF, 0xFF, 0x42}}, {0x41, 0xFF, 0x42}, 0, 0, 0},
        Case{"ff_ff_then_nul_is_data", {{0xFF, 0xFF, 0x00}}, {0xFF, 0x00}, 0, 0, 0},
        Case{"break", {{0x41, 0xFF, 0x00, 0x00, 0x42}}, {0x41, 0x42}, 1, 0, 0},
        Case{"error_drops_byte", {{0x41, 0xFF, 0x00, 0x55, 0x42}}, {0x41, 0x42}, 0, 1, 0},
        Case{"error_on_ff_is_not_doubled", {{0xFF, 0x00, 0xFF, 0x42}}, {0x42}, 0, 1, 0},
        Case{"several_marks",
             {{0xFF, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0x09}}, {0x01}, 2, 1, 0},
        Case{"ff_split", {{0x41, 0xFF}, {0xFF, 0x42}}, {0x41, 0xFF, 0x42}, 0, 0, 0},
        Case{"break_split_after_ff", {{0xFF}, {0x00, 0x00}}, {}, 1, 0, 0},
        Case{"error_split_after_nul", {{0xFF, 0x00}, {0x7E, 0x01}}, {0x01}, 0, 1, 0},
        Case{"lone_ff_held", {{0x41, 0xFF}}, {0x41}, 0, 0, 1},
        Case{"odd_ff_run_holds_last", {{0xFF, 0xFF, 0xFF}}, {0xFF}, 0, 0, 1},
        Case{"unmarked_ff_is_data", {{0xFF, 0x41}}, {0xFF, 0x41}, 0, 0, 0},
        Case{"empty_chunks", {{}, {0xFF}, {}, {0xFF}}, {0xFF}, 0, 0, 0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// However a marked stream is cut into reads, the result must be the same.
TEST(ParmrkDecoder, SplitPointsDoNotChangeTheResult) {
  const Bytes stream = {0x7E, 0xFF, 0xFF, 0x10, 0xFF, 0x00, 0x00, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0x00, 0x33, 0x44, 0xFF, 0xFF, 0x7E};
  const Outcome whole = DecodeChunks({stream});
  ASSERT_EQ(whole.data, (Bytes{0x7E, 0xFF, 0x10, 0xFF, 0xFF, 0x44, 0xFF, 0x7E}));
  ASSERT_EQ(whole.breaks, 1u);
  ASSERT_EQ(whole.errors, 1u);

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    const Outcome split = DecodeChunks({Bytes(stream.begin(), stream.begin() + cut),
                               Bytes(stream.begin() + cut, stream.end())});
    EXPECT_EQ(split.data, whole.data) << "cut at " << cut;
    EXPECT_EQ(split.breaks, whole.breaks) << "cut at " << cut;
    EXPECT_EQ(split.errors, whole.errors) << "cut at " << cut;
  }
  std::vector<Bytes> single;
  for (uint8_t b : stream) single.push_back({b});
  const Outcome byByte = DecodeChunks(single);
  EXPECT_EQ(byByte.data, whole.data);
  EXPECT_EQ(byByte.breaks, whole.breaks);
  EXPECT_EQ(byByte.errors, whole.errors);
}

TEST(ParmrkDecoder, ResetForgetsPartialMarkAndMarks) {
  CParmrkDecoder decoder;
  Bytes out;
  decoder.Decode(Bytes{0xFF, 0x00, 0x00, 0xFF, 0x00}, out);
  decoder.Reset();
  EXPECT_TRUE(decoder.Idle());
  EXPECT_EQ(decoder.TakeMarks().breaks, 0u);
  // Without the reset this would end the mark as a break.
  decoder.Decode(Bytes{0x00, 0x42}, out);
  EXPECT_EQ(out, (Bytes{0x00, 0x42}));
  EXPECT_EQ(decoder.TakeMarks().breaks, 0u);
}

TEST(ParmrkDecoder, TakeMarksEmptiesTheCount) {
  CParmrkDecoder decoder;
  Bytes out;
  decoder.Decode(Bytes{0xFF, 0x00, 0x00}, out);
  EXPECT_EQ(decoder.TakeMarks().breaks, 1u);
  EXPECT_EQ(decoder.TakeMarks().breaks, 0u);
}

}  // namespace
