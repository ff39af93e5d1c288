// A noisy cable: bit errors each way, from a seed.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "BitErrors.h"
#include "LoopbackDevice.h"
#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Block;
using simtest::Hex;

namespace {

constexpr const char* kDlStart = "7E A0 72 55 7E";

// Over a million bits (125000 bytes) the flips are within 30 % of rate times that: more
// than nine standard deviations at 1e-3, so a right stream never fails.
TEST(BitErrors, FlipRateAndSpreadOverAMillionBits) {
  struct Case {
    double rate;
    uint64_t seed, stream;
  } cases[] = {{1e-3, 1, 0}, {1e-3, 1, 1}, {1e-3, 12345, 0}, {1e-2, 7, 1}};
  for (const auto& c : cases) {
    CBitErrors e(c.rate, c.seed, c.stream);
    uint64_t flips = 0, damagedBytes = 0, perBit[8] = {};
    for (int i = 0; i < 125000; ++i) {
      const uint8_t m = e.NextMask();
      flips += static_cast<uint64_t>(std::popcount(m));
      damagedBytes += m != 0;
      for (int b = 0; b < 8; ++b) perBit[b] += (m >> b) & 1;
    }
    const double want = c.rate * 1e6;
    EXPECT_EQ(flips, e.Flipped()) << c.rate;
    EXPECT_NEAR(static_cast<double>(flips), want, 0.3 * want) << c.rate << " seed " << c.seed;
    // Flips are independent: bytes hit as often as 1 - (1 - rate)^8 says, every bit alike.
    const double hit = 125000 * (1 - std::pow(1 - c.rate, 8));
    EXPECT_NEAR(static_cast<double>(damagedBytes), hit, 0.3 * hit) << c.rate;
    for (int b = 0; c.rate >= 1e-2 && b < 8; ++b) EXPECT_NEAR(static_cast<double>(perBit[b]), want / 8, 0.3 * want / 8) << b;
  }
  CBitErrors clean, zero(0, 5, 0);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(clean.NextMask() | zero.NextMask(), 0);
  EXPECT_FALSE(zero.On());
}

// What the host got from 300 download starts, what the handset made of them, and the flips.
struct Seen {
  std::string replies, frames;
  uint64_t fromHost = 0, toHost = 0;
  bool operator==(const Seen&) const = default;
};
Seen Traffic(const std::string& scenario, bool inPairs = false) {
  Bench b("start=download; " + scenario);
  Seen seen;
  for (int i = 0; i < 300; i += inPairs ? 2 : 1) {
    b.Send(std::string(kDlStart) + (inPairs ? std::string(" ") + kDlStart : ""), 57600);
    seen.replies += b.Reply() + " ";
  }
  for (const FrameRecord& r : b.model.Records()) seen.frames += simtest::ToHex(r.bytes) + (r.check == FrameCheck::Ok ? "; " : " bad; ");
  seen.fromHost = b.model.BitsFlippedFromHost();
  seen.toHost = b.model.BitsFlippedToHost();
  return seen;
}

TEST(HandsetNoise, TheSeedDecidesEveryFlipAndRateZeroFlipsNone) {
  const Seen clean = Traffic("");
  EXPECT_EQ(clean.fromHost + clean.toHost, 0u);
  EXPECT_TRUE(Traffic("ber=0:9") == clean);
  const Seen noisy = Traffic("ber=0.01:9");
  EXPECT_GT(noisy.fromHost, 0u);
  EXPECT_GT(noisy.toHost, 0u);
  EXPECT_NE(noisy.frames, clean.frames);
  EXPECT_NE(noisy.replies, clean.replies);
  EXPECT_TRUE(Traffic("ber=0.01:9") == noisy);
  EXPECT_FALSE(Traffic("ber=0.01:10") == noisy);
  // Two requests at a time instead of one: each way keeps its own flips all the same.
  Seen paired = Traffic("ber=0.01:9", true);
  auto squeeze = [](std::string s) {
    std::erase(s, ' ');
    return s;
  };
  EXPECT_EQ(squeeze(paired.replies), squeeze(noisy.replies));
  EXPECT_EQ(paired.frames, noisy.frames);
  EXPECT_EQ(paired.toHost, noisy.toHost);
}

TEST(HandsetNoise, FlipsEachWayAtTheRate) {
  Bench b("ber=1e-3:4");
  const std::vector<uint8_t> noise(125000, 0x55);  // at another speed: it only crosses the line
  b.model.OnHostBytes(noise.data(), noise.size(), 9600, b.now);
  EXPECT_NEAR(static_cast<double>(b.model.BitsFlippedFromHost()), 1000, 300);
  const uint64_t fromHost = b.model.BitsFlippedFromHost();
  uint64_t replyBits = 0;
  while (replyBits < 1000000) {
    b.Wait(100);
    b.Send("7F 00 78 F0 7E", 57600);  // a version reply, some 60 bytes
    for (const Burst& r : b.Bursts()) replyBits += 8 * r.bytes.size();
  }
  const double want = 1e-3 * static_cast<double>(replyBits);
  EXPECT_NEAR(static_cast<double>(b.model.BitsFlippedToHost()), want, 0.3 * want);
  EXPECT_GT(b.model.BitsFlippedFromHost(), fromHost);  // the requests cross the cable too
}

// A block write is some 33000 bits: at 1e-3 never whole. In boot mode a good one is refused
// (A3), so an A1 can only come from the damage the handset found.
TEST(HandsetNoise, ADamagedRequestIsAnsweredA1) {
  for (const uint64_t seed : {1, 2, 3}) {
    Bench b("start=download; ber=1e-3:" + std::to_string(seed));
    b.Send(Block(0, std::vector<uint8_t>(4096, 0x11)), 57600);
    ASSERT_FALSE(b.model.Records().empty()) << seed;
    for (const FrameRecord& r : b.model.Records()) {
      EXPECT_EQ(r.check, FrameCheck::Bad) << seed;
      EXPECT_EQ(r.outcome, "bad fcs: nak A1") << seed;
    }
  }
}

// Through the timed line: a flag the cable makes ends a frame early, and the device must
// wake the harness then, not when the real flag comes, or the A1 would be due before it is
// taken.
TEST(HandsetNoise, TheLoopbackWakesForFlagsTheCableMakes) {
  CLoopbackDevice dev(std::make_unique<CHandsetModel>(Bench::Parse("start=download; ber=2e-3:5"), 1 << 20),
                      [] { return 1000; });
  ASSERT_TRUE(dev.Open("/loopback/handset"));
  ASSERT_TRUE(dev.Configure(SerialSettings{}));
  const std::vector<uint8_t> frame = Block(0, std::vector<uint8_t>(4096, 0x3E));  // one flip from 7E
  dev.Write(frame.data(), frame.size(), 100);
  size_t replies = 0;
  while (auto due = dev.NextDueMs()) {
    for (const Burst& r : dev.TakeDue(*due)) {
      EXPECT_EQ(r.dueMs, *due);
      ++replies;
    }
  }
  uint32_t frames = 0;
  dev.WithModel([&](CHandsetModel& m) { frames = static_cast<uint32_t>(m.Records().size()); });
  EXPECT_GT(frames, 1u);  // the cable did split it
  EXPECT_EQ(replies, frames);
}

}  // namespace
