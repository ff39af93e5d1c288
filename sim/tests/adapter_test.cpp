// The USB serial adapter between the handset's line and the host's reads.
#include <gtest/gtest.h>

#include "SimTestUtil.h"
#include "UsbAdapter.h"

using namespace sim;
using simtest::Bench;
using simtest::ToHex;

namespace {

constexpr uint64_t kMs = 1000000;  // ns

TEST(UsbAdapter, HoldsUntilTheTimerOrAFullPacket) {
  struct Push {
    uint64_t atNs;
    uint8_t byte;
    uint32_t baud = 57600;
  };
  struct Out {
    uint64_t atNs;
    const char* bytes;
  };
  struct Case {
    const char* name;
    AdapterSettings settings;
    std::vector<Push> pushes;
    uint64_t takeAtNs;
    std::vector<Out> out;
  } cases[] = {
      {"one byte waits out the timer", {16, 62}, {{1 * kMs, 0x01}}, 100 * kMs, {{17 * kMs, "01"}}},
      {"nothing before the timer", {16, 62}, {{1 * kMs, 0x01}}, 17 * kMs - 1, {}},
      {"the timer runs from the first held byte", {16, 62},
       {{0, 0x01}, {10 * kMs, 0x02}, {20 * kMs, 0x03}}, 100 * kMs, {{16 * kMs, "01 02"}, {36 * kMs, "03"}}},
      {"a full packet goes at once", {16, 3},
       {{1000, 0x01}, {2000, 0x02}, {3000, 0x03}, {4000, 0x04}}, 100 * kMs, {{3000, "01 02 03"}, {4000 + 16 * kMs, "04"}}},
      {"packet of one", {16, 1}, {{5, 0xAA}, {6, 0xBB}}, 6, {{5, "AA"}, {6, "BB"}}},
      {"another speed ends the hold", {16, 62},
       {{0, 0x01, 57600}, {2 * kMs, 0x02, 115200}}, 100 * kMs, {{2 * kMs, "01"}, {18 * kMs, "02"}}},
  };
  for (const auto& c : cases) {
    CUsbAdapter a(c.settings);
    for (const Push& p : c.pushes) a.Push(p.byte, p.atNs, p.baud);
    const auto got = a.Take(c.takeAtNs);
    ASSERT_EQ(got.size(), c.out.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].atNs, c.out[i].atNs) << c.name << " " << i;
      EXPECT_EQ(ToHex(got[i].bytes), c.out[i].bytes) << c.name << " " << i;
    }
  }
}

// In process: the model's bursts are the adapter's hand-overs.
TEST(HandsetAdapter, RepliesReachTheHostInHandovers) {
  Bench raw;
  raw.Send("7F 00 78 F0 7E", 57600);
  const auto line = raw.Bursts();
  ASSERT_EQ(line.size(), 1u);
  const size_t n = line[0].bytes.size();
  ASSERT_GT(n, 56u);

  // The whole version reply is in before the timer: one hand-over, the timer after its first
  // byte (10 bit times at 57600 bit/s).
  Bench one("adapter=16");
  one.Send("7F 00 78 F0 7E", 57600);
  const auto held = one.Bursts();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].bytes, line[0].bytes);
  EXPECT_EQ(held[0].dueMs, line[0].dueMs + 17);  // 16 ms and 0.17 ms, whole ms up
  EXPECT_EQ(held[0].baud, 57600u);

  // Packets of 8: every 8 bytes as soon as the 8th has crossed, the rest on the timer.
  Bench packets("adapter=16:8");
  packets.Send("7F 00 78 F0 7E", 57600);
  const auto parts = packets.Bursts();
  ASSERT_EQ(parts.size(), (n + 7) / 8);
  std::vector<uint8_t> joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    joined.insert(joined.end(), parts[i].bytes.begin(), parts[i].bytes.end());
    if (i + 1 < parts.size()) {
      EXPECT_EQ(parts[i].bytes.size(), 8u) << i;
      const uint64_t crossedNs = line[0].dueMs * kMs + (i + 1) * 8 * 10 * 1000000000ull / 57600;
      EXPECT_EQ(parts[i].dueMs, (crossedNs + kMs - 1) / kMs) << i;
    }
  }
  EXPECT_EQ(joined, line[0].bytes);
  EXPECT_GE(parts.back().dueMs, line[0].dueMs + 16 + (n / 8) * 8 * 10 * 1000 / 57600);
}

TEST(HandsetAdapter, AGapShorterThanTheHoldDoesNotShow) {
  struct Case {
    const char* scenario;
    size_t bursts;
  } cases[] = {
      {"adapter=16; split=status:1:10", 1},  // the second part comes while the first is held
      {"adapter=16; split=status:1:30", 2},
      {"adapter=16; dup=status:1:10", 1},
      {"adapter=16; junk=status:1:02:40", 2},
      {"adapter=16; extra=status:1:0C:0", 1},
  };
  for (const auto& c : cases) {
    Bench b(c.scenario);
    b.Send("7F 0C 14 3A 7E", 57600);
    EXPECT_EQ(b.Bursts().size(), c.bursts) << c.scenario;
  }
}

TEST(HandsetAdapter, TheFinalAckStillEndsTheDownload) {
  Bench b("start=download; jump-ms=0; reboot-ms=0; adapter=16:2");
  for (const char* r : {"7E B0 F3 45 7E", "7E C0 74 36 7E"}) b.Exchange(r, 57600);
  b.Wait(5);
  b.Send("7E C0 74 36 7E", 57600);
  const auto out = b.Bursts();
  ASSERT_EQ(out.size(), 2u);  // 02 6A | D3 7E
  EXPECT_FALSE(out[0].endsDownload);
  EXPECT_TRUE(out[1].endsDownload);
}

}  // namespace
