// The handset in ToDM-only and DM mode: replies on the wire, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Hex;
using simtest::ToHex;
using simtest::Unescape;

namespace {

struct WireCase {
  const char* name;
  const char* scenario;
  std::vector<std::pair<const char*, uint32_t>> before;  // requests sent first, replies ignored
  const char* request;
  uint32_t baud;
  const char* reply;  // "" for silence
};

TEST(HandsetDm, RepliesOnTheWire) {
  const WireCase cases[] = {
      {"status, crc30", "", {}, "7F 0C 14 3A 7E", 57600, "0C 1E 2A A8 11 7E"},
      {"status, plain", "variant=plain", {}, "0C 14 3A 7E", 115200, "0C 14 3A 7E"},
      {"dm offline, crc30", "", {}, "7F 29 01 00 31 40 7E", 57600, "29 01 00 0A 71 8F F2 7E"},
      {"dm offline, plain", "variant=plain", {}, "29 01 00 31 40 7E", 115200, "29 01 00 31 40 7E"},
      {"download mode after offline", "", {{"7F 29 01 00 31 40 7E", 57600}}, "7F 3A A1 6E 7E", 57600,
       "3A 18 FF 77 ED 7E"},
      {"download mode after offline, plain", "variant=plain", {{"29 01 00 31 40 7E", 115200}},
       "3A A1 6E 7E", 115200, "3A A1 6E 7E"},
      {"download mode while online is refused", "", {}, "7F 3A A1 6E 7E", 57600, "18 3A 32 67 EA 79 7E"},
      {"unknown command, escaped request", "variant=plain", {}, "60 7D 5E 93 7E", 115200, "13 60 B8 D3 7E"},
      {"unknown command, escaped crc", "", {}, "7F 38 B3 4D 7E", 57600, "13 38 15 7D 5D 82 1F 7E"},
      {"download request in dm", "", {}, "7E A0 72 55 7E", 57600, "13 A0 26 0E CB D2 7E"},
      {"bad fcs echoes the frame", "", {}, "7F 0C 14 3B 7E", 57600, "13 0C 14 3B 08 D7 6F 1F 7E"},
      {"version with a byte too many", "", {}, "7F 00 00 47 0F 7E", 57600, "15 00 00 3D A4 EA 27 7E"},
      {"other mode change", "", {}, "7F 29 02 00 59 6A 7E", 57600, "13 29 02 00 0B E5 A6 34 7E"},
      {"crc30 handset at 115200 is deaf", "", {}, "0C 14 3A 7E", 115200, ""},
      {"plain handset at 57600 is deaf", "variant=plain", {}, "7F 0C 14 3A 7E", 57600, ""},
      {"own dm speed", "dm-baud=38400", {}, "7F 0C 14 3A 7E", 38400, "0C 1E 2A A8 11 7E"},
  };
  for (const auto& c : cases) {
    Bench b(c.scenario);
    for (const auto& [req, baud] : c.before) {
      b.Send(req, baud);
      b.Reply();
    }
    EXPECT_EQ(b.Exchange(c.request, c.baud), c.reply) << c.name;
  }
}

TEST(HandsetDm, VersionReplyLayout) {
  Bench b("rev=32381; date=Jan 02 2025; time=13:14:15; pcb=PCB-A 11 22; pcb2=REV 9; sw=SW12345X");
  const auto bursts = b.Bursts(0);
  EXPECT_TRUE(bursts.empty());
  b.Send("7F 00 78 F0 7E", 57600);
  const auto out = b.Bursts();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].baud, 57600u);
  EXPECT_EQ(out[0].bytes.back(), 0x7E);
  const std::vector<uint8_t> plain = Unescape(out[0].bytes);
  ASSERT_EQ(plain.size(), 56u);  // 52 payload bytes and the CRC-30
  const uint32_t got = static_cast<uint32_t>(plain[52]) << 24 | plain[53] << 16 | plain[54] << 8 | plain[55];
  EXPECT_EQ(got, crc::Crc30(plain.data(), 52 * 8));
  const std::string text(plain.begin(), plain.begin() + 52);
  EXPECT_EQ(plain[0], 0x00);
  EXPECT_EQ(text.substr(1, 11), "Jan 02 2025");
  EXPECT_EQ(text.substr(12, 8), "13:14:15");
  EXPECT_EQ(text.substr(20, 11), "PCB-A 11 22");
  EXPECT_EQ(text.substr(31, 8), "REV 9   ");  // padded with spaces
  EXPECT_EQ(text.substr(39, 8), "SW12345X");
  EXPECT_EQ(plain[50], 0x7D);  // 32381 = 0x7E7D: both bytes needed escaping on the wire
  EXPECT_EQ(plain[51], 0x7E);
  EXPECT_EQ(std::count(out[0].bytes.begin(), out[0].bytes.end(), 0x7E), 1);
}

TEST(HandsetDm, VersionReplyPlainVariantCarriesFcs) {
  Bench b("variant=plain");
  b.Send("00 78 F0 7E", 115200);
  const std::vector<uint8_t> plain = Unescape(Hex(b.Reply()));
  ASSERT_EQ(plain.size(), 54u);
  EXPECT_EQ(crc::Fcs16(plain.data(), 52), plain[52] | plain[53] << 8);
  EXPECT_EQ(plain[50] | plain[51] << 8, 203);
}

TEST(HandsetDm, SpeedMismatchIsNoiseAndGarblesAFrameInProgress) {
  Bench b;
  b.Send("7F 00 78 F0 7E", 115200);
  EXPECT_EQ(b.Reply(), "");
  EXPECT_EQ(b.model.NoiseBytes(), 5u);
  EXPECT_TRUE(b.model.Records().empty());
  // First half at the right speed, the rest at the wrong one: the frame is lost.
  b.Send("7F 0C 14", 57600);
  b.Send("3A 7E", 115200);
  b.Send("7E", 57600);
  EXPECT_EQ(b.Reply(), "");
  // A whole frame at the right speed is answered again.
  EXPECT_EQ(b.Exchange("7F 0C 14 3A 7E", 57600), "0C 1E 2A A8 11 7E");
}

TEST(HandsetDm, RequestSplitOverCallsIsAssembled) {
  Bench b;
  for (uint8_t byte : Hex("7F 0C 14 3A 7E")) b.Send(std::vector<uint8_t>{byte}, 57600);
  EXPECT_EQ(b.Reply(), "0C 1E 2A A8 11 7E");
}

TEST(HandsetToDm, AnswersTheFourSequencesThenIsInDm) {
  Bench b("start=todm; todm-ms=2000");
  EXPECT_EQ(b.model.Mode(), HandsetMode::ToDmOnly);
  EXPECT_EQ(b.model.Baud(), 9600u);
  EXPECT_EQ(b.Exchange("7F 00 78 F0 7E", 57600), "");  // no DM yet, at any speed
  EXPECT_EQ(b.Exchange("7F 00 78 F0 7E", 9600), "");
  EXPECT_EQ(b.Exchange("7F AA DD 7E", 9600), "AA AF 7E");
  EXPECT_EQ(b.Exchange("7F AA DD 7E", 57600), "");       // ToDM at the wrong speed
  EXPECT_EQ(b.Exchange("7F AA 1F 00 7E", 9600), "AA AF 7E");
  EXPECT_EQ(b.Exchange("7F AA 20 04 00 02 00 01 7E", 9600), "AA AF 7E");
  EXPECT_EQ(b.Exchange("7F AA 20 04 00 02 00 7E", 9600), "");  // not one of the four
  EXPECT_EQ(b.Exchange("7F AA 3F 00 7E", 9600), "");
  b.Wait(1000);  // still switching: deaf
  EXPECT_EQ(b.Exchange("7F 00 78 F0 7E", 57600), "");
  b.Wait(1100);
  EXPECT_EQ(b.model.Mode(), HandsetMode::Dm);
  EXPECT_EQ(b.model.Baud(), 57600u);
  EXPECT_EQ(b.Exchange("7F AA DD 7E", 9600), "");
  EXPECT_EQ(b.Exchange("7F 0C 14 3A 7E", 57600), "0C 1E 2A A8 11 7E");

  std::vector<int> steps;
  for (const auto& r : b.model.Records()) {
    if (r.toDmStep >= 0) steps.push_back(r.toDmStep);
  }
  EXPECT_EQ(steps, (std::vector<int>{0, 1, 2, 3}));
}

TEST(HandsetToDm, PlainHandsetComesUpAtItsOwnSpeed) {
  Bench b("start=todm; variant=plain; todm-ms=10");
  b.Exchange("7F AA 3F 00 7E", 9600);
  b.Wait(100);
  EXPECT_EQ(b.model.Baud(), 115200u);
  EXPECT_EQ(b.Exchange("0C 14 3A 7E", 115200), "0C 14 3A 7E");
}

TEST(HandsetRecord, KeepsEveryFrame) {
  Bench b;
  b.Send("7F 0C 14 3A 7E", 57600);
  b.Send("7F 0C 14 3B 7E", 57600);
  b.Reply();
  const auto& r = b.model.Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].timeMs, 1000u);
  EXPECT_EQ(r[0].baud, 57600u);
  EXPECT_EQ(r[0].mode, HandsetMode::Dm);
  EXPECT_EQ(r[0].opening, 0x7F);
  EXPECT_EQ(r[0].check, FrameCheck::Ok);
  EXPECT_EQ(ToHex(r[0].bytes), "0C");
  EXPECT_EQ(r[1].check, FrameCheck::Bad);
  const std::string line = FormatRecord(r[0]);
  EXPECT_NE(line.find("57600"), std::string::npos) << line;
  EXPECT_NE(line.find("fcs ok"), std::string::npos) << line;
  EXPECT_NE(FormatRecord(r[1]).find("BAD"), std::string::npos);

  std::vector<std::string> sunk;
  Bench t("start=todm");
  t.model.SetRecordSink([&](const FrameRecord& rec) { sunk.push_back(FormatRecord(rec)); });
  t.Send("7F AA 1F 00 7E", 9600);
  ASSERT_EQ(sunk.size(), 1u);
  EXPECT_NE(sunk[0].find("raw ToDM step 1"), std::string::npos) << sunk[0];
}

}  // namespace
