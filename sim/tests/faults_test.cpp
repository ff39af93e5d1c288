// Each fault a scenario can ask for, as the host sees it on the wire.
#include <gtest/gtest.h>

#include <algorithm>

#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Hex;
using simtest::Request;
using simtest::ToHex;
using simtest::Unescape;

namespace {

constexpr const char* kVersionReq = "7F 00 78 F0 7E";
constexpr const char* kStatusReq = "7F 0C 14 3A 7E";
constexpr const char* kStatusReply = "0C 1E 2A A8 11 7E";
constexpr const char* kAck = "02 6A D3 7E";

TEST(HandsetFaults, SilentLosesTheNamedRequestsOnly) {
  Bench b("silent=status:1,3");
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), "");
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), kStatusReply);
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), "");
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), kStatusReply);
  EXPECT_EQ(b.model.Records()[0].outcome, "silent (scenario)");
}

TEST(HandsetFaults, SilentMeansTheRequestHadNoEffect) {
  Bench b("silent=dmoffline:1");
  b.Exchange("7F 29 01 00 31 40 7E", 57600);
  EXPECT_EQ(b.model.Mode(), HandsetMode::Dm);  // still online: 3A is refused
  EXPECT_EQ(b.Exchange("7F 3A A1 6E 7E", 57600), "18 3A 32 67 EA 79 7E");
}

TEST(HandsetFaults, NakReplacesTheReply) {
  struct Case {
    const char* name;
    const char* scenario;
    const char* request;
    uint32_t baud;
    const char* reply;
  } cases[] = {
      {"download code alone", "start=download; nak=dlstart:1:A1", "7E A0 72 55 7E", 57600, "A1 FB 44 7E"},
      {"code whose fcs needs escaping", "start=download; nak=dlstart:1:2A", "7E A0 72 55 7E", 57600,
       "2A 20 7D 5E 7E"},
      {"dm code and the request", "nak=status:1:13", kStatusReq, 57600, ""},
      {"todm", "start=todm; nak=todm:1:AE", "7F AA DD 7E", 9600, "AA AE 7E"},
      {"overall count", "nak=any:1:18", kStatusReq, 57600, ""},
  };
  for (const auto& c : cases) {
    Bench b(c.scenario);
    const std::string got = b.Exchange(c.request, c.baud);
    if (std::string(c.reply).empty()) {
      // DM: the code, then the request echoed, under a good CRC-30.
      const auto plain = Unescape(Hex(got));
      ASSERT_EQ(plain.size(), 6u) << c.name;
      EXPECT_EQ(plain[1], 0x0C) << c.name;
      EXPECT_EQ(plain[0], std::string(c.scenario).find(":13") != std::string::npos ? 0x13 : 0x18) << c.name;
      const uint32_t crc = static_cast<uint32_t>(plain[2]) << 24 | plain[3] << 16 | plain[4] << 8 | plain[5];
      EXPECT_EQ(crc, crc::Crc30(plain.data(), 16)) << c.name;
    } else {
      EXPECT_EQ(got, c.reply) << c.name;
    }
    // The next one is answered normally.
    EXPECT_NE(b.Exchange(c.request, c.baud), got) << c.name;
  }
}

TEST(HandsetFaults, NakedBlockIsNotWritten) {
  Bench b("start=download; jump-ms=0; flash-fill=FF; nak=block:2:A1");
  for (const char* r : {"7E A0 72 55 7E", "7E B0 F3 45 7E", "7E C0 74 36 7E"}) b.Exchange(r, 57600);
  b.Wait(10);
  std::vector<uint8_t> p{0xDD, 0, 0, 0, 0, 0x00, 0x10};
  p.resize(7 + 4096, 0x00);
  EXPECT_EQ(b.Exchange(ToHex(Request(0x7E, p)), 57600), kAck);
  p[2] = 0x10;  // address 0x1000
  EXPECT_EQ(b.Exchange(ToHex(Request(0x7E, p)), 57600), "A1 FB 44 7E");
  EXPECT_EQ(b.model.Flash().Bytes()[0], 0x00);
  EXPECT_EQ(b.model.Flash().Bytes()[0x1000], 0xFF);
  EXPECT_EQ(b.Exchange(ToHex(Request(0x7E, p)), 57600), kAck);  // the resend goes in
  EXPECT_EQ(b.model.Flash().Bytes()[0x1000], 0x00);
}

TEST(HandsetFaults, BadCrcOnTheNamedReply) {
  Bench b("badcrc=status:2");
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), kStatusReply);
  const auto plain = Unescape(Hex(b.Exchange(kStatusReq, 57600)));
  ASSERT_EQ(plain.size(), 5u);
  EXPECT_EQ(plain[0], 0x0C);
  const uint32_t crc = static_cast<uint32_t>(plain[1]) << 24 | plain[2] << 16 | plain[3] << 8 | plain[4];
  EXPECT_NE(crc, crc::Crc30(plain.data(), 8));
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), kStatusReply);
}

TEST(HandsetFaults, SplitReplyComesInTwoBurstsWithAGap) {
  Bench b("split=version:1:20; split=status:1:6:2");
  b.Send(kVersionReq, 57600);
  const auto parts = b.Bursts();
  ASSERT_EQ(parts.size(), 2u);
  const uint64_t firstEnd = parts[0].dueMs + (parts[0].bytes.size() * 10 * 1000 + 57599) / 57600;
  EXPECT_GE(parts[1].dueMs, firstEnd + 20);
  EXPECT_NE(parts[0].bytes.back(), 0x7E);  // the host's frame does not end in the first part
  std::vector<uint8_t> joined = parts[0].bytes;
  joined.insert(joined.end(), parts[1].bytes.begin(), parts[1].bytes.end());
  Bench plain;
  plain.Send(kVersionReq, 57600);
  EXPECT_EQ(ToHex(joined), plain.Reply());

  b.Send(kStatusReq, 57600);
  const auto status = b.Bursts();
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(ToHex(status[0].bytes), "0C 1E");
  EXPECT_EQ(ToHex(status[1].bytes), "2A A8 11 7E");
}

TEST(HandsetFaults, DelayHoldsTheReplyBack) {
  Bench b("delay=status:2:4000; reply-ms=3");
  b.Send(kStatusReq, 57600);
  ASSERT_TRUE(b.model.NextDueMs());
  EXPECT_EQ(*b.model.NextDueMs(), b.now + 3);
  b.Reply();
  b.Wait(100);  // the line is free again
  b.Send(kStatusReq, 57600);
  EXPECT_EQ(*b.model.NextDueMs(), b.now + 4003);
  EXPECT_TRUE(b.model.TakeDue(b.now + 4002).empty());
  EXPECT_EQ(b.model.TakeDue(b.now + 4003).size(), 1u);
}

TEST(HandsetFaults, NoiseLeadsTheReplyInItsBurst) {
  Bench b("noise=status:1:5");
  b.Send(kStatusReq, 57600);
  const auto out = b.Bursts();
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].bytes.size(), 5u + 6u);
  EXPECT_EQ(ToHex(std::vector<uint8_t>(out[0].bytes.begin() + 5, out[0].bytes.end())), kStatusReply);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_FALSE(out[0].bytes[i] >= 0x7D && out[0].bytes[i] <= 0x7F) << i;
  }
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), kStatusReply);

  Bench every("noise=before-reply:2");
  EXPECT_EQ(Hex(every.Exchange(kStatusReq, 57600)).size(), 8u);
  EXPECT_EQ(Hex(every.Exchange(kStatusReq, 57600)).size(), 8u);
}

TEST(HandsetFaults, HangUpEndsEverything) {
  Bench b("hangup=status:1; delay=version:1:500");
  b.Send(kVersionReq, 57600);  // its reply is still waiting when the line goes
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), "");
  EXPECT_TRUE(b.model.HungUp());
  EXPECT_FALSE(b.model.NextDueMs());
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), "");
  EXPECT_EQ(b.model.Records().back().outcome.rfind("hang-up (scenario)", 0), 0u) << b.model.Records().back().outcome;
}

TEST(HandsetFaults, SpeedSendsTheNamedReplyAtAnotherSpeedAndTheRequestStillActs) {
  Bench b("speed=dmoffline:1:115200");
  b.Send("7F 29 01 00 31 40 7E", 57600);
  const auto out = b.Bursts();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].baud, 115200u);
  EXPECT_EQ(b.model.Mode(), HandsetMode::DmOffline) << "the request was done all the same";
  // The next reply is back at the handset's speed, after the other one's line time.
  b.Send(kStatusReq, 57600);
  const auto next = b.Bursts();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].baud, 57600u);
  EXPECT_EQ(ToHex(next[0].bytes), kStatusReply);

  Bench dload("start=download; speed=dlstart:2:9600");
  EXPECT_EQ(dload.Exchange("7E A0 72 55 7E", 57600), kAck);
  dload.Send("7E A0 72 55 7E", 57600);
  const auto slow = dload.Bursts();
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_EQ(slow[0].baud, 9600u);
  EXPECT_EQ(ToHex(slow[0].bytes), kAck);
}

TEST(HandsetFaults, BadFramesAreNotCountedAndTakeNoFaults) {
  Bench b("silent=status:1; split=any:*:20");
  EXPECT_EQ(b.Exchange("7F 0C 14 3B 7E", 57600), "13 0C 14 3B 08 D7 6F 1F 7E");  // not counted
  EXPECT_EQ(b.Exchange(kStatusReq, 57600), "");  // the first good one is silenced
  b.Send("7F 0C 14 3B 7E", 57600);              // and the bad one after it is not split
  EXPECT_EQ(b.Bursts().size(), 1u);
}

// Line time of n bytes at baud, whole ms up.
uint64_t LineMs(size_t n, uint32_t baud) { return (n * 10 * 1000 + baud - 1) / baud; }

// The bursts the host gets after one request: their bytes, and each one's gap after the one
// before it has gone out.
TEST(HandsetFaults, RepeatedAndExtraRepliesOnTheWire) {
  struct Case {
    const char* name;
    const char* scenario;
    const char* request;
    uint32_t baud;
    std::vector<const char*> bursts;
    std::vector<uint64_t> gaps;  // before bursts 1, 2, ...
  } cases[] = {
      {"dup after a gap", "dup=status:1:40", kStatusReq, 57600, {kStatusReply, kStatusReply}, {40}},
      {"dup in the same burst", "dup=status:1:0", kStatusReq, 57600,
       {"0C 1E 2A A8 11 7E 0C 1E 2A A8 11 7E"}, {}},
      {"dup of a split reply", "split=status:1:20:2; dup=status:1:30", kStatusReq, 57600,
       {"0C 1E", "2A A8 11 7E", kStatusReply}, {20, 30}},
      {"dup keeps a bad check", "start=download; badcrc=dlstart:1; dup=dlstart:1:10", "7E A0 72 55 7E", 57600,
       {"02 6B D3 7E", "02 6B D3 7E"}, {10}},
      {"extra after a gap", "start=download; extra=dlstart:1:A1:25", "7E A0 72 55 7E", 57600,
       {kAck, "A1 FB 44 7E"}, {25}},
      {"extra in the same burst", "extra=status:1:0C:0", kStatusReq, 57600,
       {"0C 1E 2A A8 11 7E 0C 1E 2A A8 11 7E"}, {}},
      {"extra under the other check", "start=download; check=other; extra=dlstart:1:A3:10", "7E A0 72 55 7E",
       57600, {"02 20 42 7E", "A3 85 89 7E"}, {10}},
      {"extra to a todm step", "start=todm; extra=todm:1:AAAF:0", "7F AA DD 7E", 9600, {"AA AF 7E AA AF 7E"}, {}},
      {"dup then extra", "start=download; dup=dlstart:1:10; extra=dlstart:1:A1:0", "7E A0 72 55 7E", 57600,
       {kAck, "02 6A D3 7E A1 FB 44 7E"}, {10}},
      {"junk in the reply's burst", "junk=status:1:7E", kStatusReq, 57600, {"7E 0C 1E 2A A8 11 7E"}, {}},
      {"several junk bytes", "start=download; junk=dlstart:1:0255", "7E A0 72 55 7E", 57600, {"02 55 02 6A D3 7E"},
       {}},
      {"junk before noise", "junk=status:1:00; noise=status:1:1", kStatusReq, 57600, {"00 ?? 0C 1E 2A A8 11 7E"}, {}},
  };
  for (const auto& c : cases) {
    Bench b(c.scenario);
    b.Send(c.request, c.baud);
    const auto out = b.Bursts();
    ASSERT_EQ(out.size(), c.bursts.size()) << c.name;
    for (size_t i = 0; i < out.size(); ++i) {
      std::string got = ToHex(out[i].bytes);
      const std::string want = c.bursts[i];
      if (const size_t any = want.find("??"); any != std::string::npos) got.replace(any, 2, "??");  // noise
      EXPECT_EQ(got, want) << c.name << " burst " << i;
      if (i > 0) {
        const uint64_t prevEnd = out[i - 1].dueMs + LineMs(out[i - 1].bytes.size(), c.baud);
        EXPECT_EQ(out[i].dueMs - prevEnd, c.gaps[i - 1]) << c.name << " burst " << i;
      }
    }
    // The next request of the kind gets one plain reply again, whatever the rule did.
    b.Send(c.request, c.baud);
    EXPECT_EQ(b.Bursts().size(), 1u) << c.name;
  }
}

TEST(HandsetFaults, JunkWithAGapMakesTheReplyLate) {
  Bench plain;
  plain.Send(kStatusReq, 57600);
  ASSERT_TRUE(plain.model.NextDueMs());
  const uint64_t onTime = *plain.model.NextDueMs() - plain.now;

  Bench b("junk=status:1:02:30");
  b.Send(kStatusReq, 57600);
  const uint64_t sent = b.now;
  const auto out = b.Bursts();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(ToHex(out[0].bytes), "02");
  EXPECT_EQ(out[0].dueMs, sent + onTime);  // the junk when the reply would have come
  EXPECT_EQ(ToHex(out[1].bytes), kStatusReply);
  EXPECT_EQ(out[1].dueMs, sent + onTime + 30);
}

// check=other changes the two check bytes of FCS-16 replies only.
TEST(HandsetFaults, OtherCheckOnPlainAndDownloadReplies) {
  struct Case {
    const char* name;
    const char* scenario;
    const char* request;
    uint32_t baud;
    const char* reply;
    bool fcs16Style;  // two check bytes at the end that must not verify as FCS-16
  } cases[] = {
      {"plain dm status", "variant=plain; check=other", "0C 14 3A 7E", 115200, "0C C1 8C 7E", true},
      {"download ack", "start=download; check=other", "7E A0 72 55 7E", 57600, "02 20 42 7E", true},
      {"download nak for a bad fcs", "start=download; check=other", "7E A0 72 56 7E", 57600, "A1 A5 CB 7E", true},
      {"a wrong other check", "start=download; check=other; badcrc=dlstart:1", "7E A0 72 55 7E", 57600,
       "02 20 43 7E", true},
      {"plain dm echo of a bad frame", "variant=plain; check=other", "0C 14 3B 7E", 115200,
       "13 0C 14 3B BD 95 7E", true},
      {"crc30 dm unchanged", "check=other", kStatusReq, 57600, kStatusReply, false},
      {"todm unchanged", "start=todm; check=other", "7F AA DD 7E", 9600, "AA AF 7E", false},
      {"fcs16 by default", "start=download", "7E A0 72 55 7E", 57600, kAck, false},
  };
  for (const auto& c : cases) {
    Bench b(c.scenario);
    const std::string got = b.Exchange(c.request, c.baud);
    EXPECT_EQ(got, c.reply) << c.name;
    if (c.fcs16Style) {
      const auto plain = Unescape(Hex(got));
      ASSERT_GE(plain.size(), 3u) << c.name;
      const uint16_t asFcs = static_cast<uint16_t>(plain[plain.size() - 2] | plain.back() << 8);
      EXPECT_NE(asFcs, crc::Fcs16(plain.data(), plain.size() - 2)) << c.name;
    }
  }
}

TEST(HandsetFaults, RepliesNeverOvertakeEachOther) {
  Bench b("delay=status:1:300");
  b.Send(kStatusReq, 57600);
  b.Send(kVersionReq, 57600);
  const auto out = b.Bursts();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes[0], 0x0C);
  EXPECT_EQ(out[1].bytes[0], 0x00);
  EXPECT_GT(out[1].dueMs, out[0].dueMs);
}

}  // namespace

namespace {

TEST(HandsetChatter, DamagedCopiesOfTheReplyUntilTheHostSpeaksAgain) {
  Bench b("start=download; chatter=dlstart:1:2000");
  b.Send("7E A0 72 55 7E", 57600);
  // The ACK, then a damaged copy of it every 2 s after the one before has gone out.
  const std::vector<Burst> bursts = b.Bursts(7000);
  ASSERT_EQ(bursts.size(), 4u);
  EXPECT_EQ(ToHex(bursts[0].bytes), kAck);
  for (size_t i = 1; i < bursts.size(); ++i) {
    EXPECT_EQ(bursts[i].bytes.size(), 4u) << i;
    EXPECT_NE(ToHex(bursts[i].bytes), kAck) << i;
    EXPECT_EQ(bursts[i].bytes.back(), 0x7E) << i;
    EXPECT_GE(bursts[i].dueMs - bursts[i - 1].dueMs, 2000u) << i;
    EXPECT_LE(bursts[i].dueMs - bursts[i - 1].dueMs, 2002u) << i;
  }
  // The host's next frame ends it: its reply comes, then nothing.
  EXPECT_EQ(b.Exchange("7E A0 72 55 7E", 57600), kAck);
  EXPECT_FALSE(b.model.NextDueMs());
}

TEST(HandsetChatter, GoesOnWhileARequestThatCameBeforeTheReplyIsServed) {
  // A resend that crossed before the late reply went out does not end the chatter after it.
  Bench b("start=download; delay=dlstart:1:3000; chatter=dlstart:1:500");
  b.Send("7E A0 72 55 7E", 57600);
  b.Wait(1000);
  b.Send("7E A0 72 55 7E", 57600);
  EXPECT_GE(b.Bursts(4000).size(), 5u);  // two ACKs and the chatter between and after them
}

TEST(HandsetChatter, NeedsAGapOfTenMsOrMore) {
  CScenario s;
  std::string error;
  EXPECT_FALSE(s.Parse("chatter=block:1:5", error));
  EXPECT_NE(error.find("at least 10 ms"), std::string::npos) << error;
  EXPECT_TRUE(s.Parse("chatter=block:1,3:2000", error)) << error;
  ASSERT_EQ(s.chatter.size(), 1u);
  EXPECT_EQ(s.chatter[0].value, 2000u);
}

}  // namespace
