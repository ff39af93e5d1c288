// The handset's own framing against byte-exact wire examples.
#include <gtest/gtest.h>

#include "HandsetWire.h"
#include "SimTestUtil.h"

using namespace sim;
using simtest::Hex;
using simtest::ToHex;

namespace {

TEST(HandsetWire, RepliesOnTheWire) {
  struct Case {
    const char* payload;
    ReplyCheck check;
    const char* wire;
  } cases[] = {
      {"0C", ReplyCheck::Crc30, "0C 1E 2A A8 11 7E"},
      {"29 01 00", ReplyCheck::Crc30, "29 01 00 0A 71 8F F2 7E"},
      {"13 38", ReplyCheck::Crc30, "13 38 15 7D 5D 82 1F 7E"},  // a CRC byte of 7D is escaped
      {"02", ReplyCheck::Fcs16, "02 6A D3 7E"},
      {"0C", ReplyCheck::Fcs16, "0C 14 3A 7E"},
      {"60", ReplyCheck::Fcs16, "60 7D 5E 93 7E"},       // FCS 0x937E: its low byte escaped
      {"7D 7E 7F", ReplyCheck::Fcs16, "7D 5D 7D 5E 7D 5F CF 58 7E"},
      {"7C 80", ReplyCheck::Fcs16, "7C 80 2B D2 7E"},      // neither is escaped
      {"7C 80 01", ReplyCheck::Fcs16, "7C 80 01 F2 7D 5E 7E"},
      {"AA AF", ReplyCheck::None, "AA AF 7E"},
      {"02", ReplyCheck::Xmodem, "02 20 42 7E"},
      {"31 32 33 34 35 36 37 38 39", ReplyCheck::Xmodem, "31 32 33 34 35 36 37 38 39 31 C3 7E"},  // the catalogue check
      {"70", ReplyCheck::Xmodem, "70 7D 5E 97 7E"},  // 0x7E97: high byte first, escaped
  };
  for (const auto& c : cases) {
    const auto wire = EncodeReply(Hex(c.payload), c.check);
    EXPECT_EQ(ToHex(wire), c.wire) << c.payload;
  }
}

// The requests of the link's request set, as they leave the host.
TEST(HandsetWire, DecodesHostRequests) {
  struct Case {
    const char* wire;
    uint8_t opening;
    const char* payload;
    bool fcsOk;
  } cases[] = {
      {"7F 0C 14 3A 7E", 0x7F, "0C", true},
      {"0C 14 3A 7E", 0, "0C", true},
      {"7F 00 78 F0 7E", 0x7F, "00", true},
      {"7F 29 01 00 31 40 7E", 0x7F, "29 01 00", true},
      {"7F 3A A1 6E 7E", 0x7F, "3A", true},
      {"7E A0 72 55 7E", 0x7E, "A0", true},
      {"7E B0 F3 45 7E", 0x7E, "B0", true},
      {"7E F0 01 C6 62 7E", 0x7E, "F0 01", true},
      {"7E C0 74 36 7E", 0x7E, "C0", true},
      {"7E EE 00 40 00 00 00 C0 3F 00 49 47 7E", 0x7E, "EE 00 40 00 00 00 C0 3F 00", true},
      {"7E 7D 5D 7D 5E 7D 5F CF 58 7E", 0x7E, "7D 7E 7F", true},
      {"60 7D 5E 93 7E", 0, "60", true},
      {"7F 0C 14 3B 7E", 0x7F, "0C", false},  // one bit off in the FCS
      {"7F 0C 3A 14 7E", 0x7F, "0C", false},  // FCS high byte first
      {"7F 0C 7E", 0x7F, "0C", false},        // too short to hold an FCS
  };
  for (const auto& c : cases) {
    CFrameSplitter split(64);
    std::vector<RawFrame> frames;
    for (uint8_t b : Hex(c.wire)) {
      if (split.Push(b)) frames.push_back(split.Take());
    }
    ASSERT_EQ(frames.size(), 1u) << c.wire;
    EXPECT_EQ(frames[0].opening, c.opening) << c.wire;
    const DecodedRequest req = DecodeRequest(frames[0].bytes);
    EXPECT_EQ(req.fcsOk, c.fcsOk) << c.wire;
    EXPECT_EQ(ToHex(req.payload), c.payload) << c.wire;
  }
}

TEST(HandsetWire, SplitterCutsAtFlags) {
  CFrameSplitter split(8);
  std::vector<RawFrame> frames;
  // Two frames back to back, an empty one between, then one too long for the receiver.
  for (uint8_t b : Hex("01 02 7E 7E 7E 7F 03 7E 11 22 33 44 55 66 77 88 99 7E 04 7E")) {
    if (split.Push(b)) frames.push_back(split.Take());
  }
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(ToHex(frames[0].bytes), "01 02");
  EXPECT_EQ(frames[0].opening, 0);
  EXPECT_EQ(ToHex(frames[1].bytes), "03");
  EXPECT_EQ(frames[1].opening, 0x7F);
  EXPECT_TRUE(frames[2].overflow);
  EXPECT_TRUE(frames[2].bytes.empty());
  EXPECT_FALSE(frames[3].overflow);
  EXPECT_EQ(ToHex(frames[3].bytes), "04");
}

TEST(HandsetWire, EscapeAtTheEndIsAnError) {
  const DecodedRequest req = DecodeRequest(Hex("0C 14 3A 7D"));
  EXPECT_TRUE(req.escapeError);
  EXPECT_FALSE(req.fcsOk);
}

}  // namespace
