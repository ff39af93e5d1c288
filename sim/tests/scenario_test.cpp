// Scenario texts: what they set, and how bad ones are refused.
#include <gtest/gtest.h>

#include "Scenario.h"

using namespace sim;

namespace {

TEST(Scenario, GoodTexts) {
  CScenario s;
  std::string error;
  ASSERT_TRUE(s.Parse(
      "start=todm; variant=plain; rev=12345; erase-ms=5000;\n"
      "# a comment line\n"
      "date=Feb 29 2024 ; time=23:59:59   # the time has colons\n"
      "silent=version:1,2; nak=block:5:A1; nak=dlstart:2-3:0x2a; badcrc=version:1;\n"
      "split=version:1:20; split=status:*:6:3; delay=dmoffline:4000; delay=block:7:250;\n"
      "noise=before-reply:3; noise=jump:2:9; hangup=block:100; pace=on; dm-baud=38400;"
      "dload-baud=115200; flash-fill=ff; reply-ms=0; todm-ms=1; dload-ms=2; jump-ms=3; reboot-ms=4",
      error))
      << error;
  EXPECT_EQ(s.start, StartMode::ToDm);
  EXPECT_EQ(s.variant, DmVariant::Plain);
  EXPECT_EQ(s.version.revision, 12345);
  EXPECT_EQ(s.version.date, "Feb 29 2024");
  EXPECT_EQ(s.version.time, "23:59:59");
  EXPECT_EQ(s.timing.eraseMs, 5000u);
  EXPECT_EQ(s.timing.replyMs, 0u);
  EXPECT_EQ(s.timing.toDmSwitchMs, 1u);
  EXPECT_EQ(s.timing.dloadSwitchMs, 2u);
  EXPECT_EQ(s.timing.jumpMs, 3u);
  EXPECT_EQ(s.timing.rebootMs, 4u);
  EXPECT_TRUE(s.pace);
  EXPECT_EQ(s.DmBaud(), 38400u);
  EXPECT_EQ(s.dloadBaud, 115200u);
  EXPECT_EQ(s.flashFill, uint8_t{0xFF});

  ASSERT_EQ(s.silent.size(), 1u);
  EXPECT_EQ(s.silent[0].kind, ReqKind::Version);
  EXPECT_TRUE(s.silent[0].which.Contains(1));
  EXPECT_TRUE(s.silent[0].which.Contains(2));
  EXPECT_FALSE(s.silent[0].which.Contains(3));
  ASSERT_EQ(s.nak.size(), 2u);
  EXPECT_EQ(s.nak[0].value, 0xA1u);
  EXPECT_EQ(s.nak[1].value, 0x2Au);
  EXPECT_TRUE(s.nak[1].which.Contains(3));
  EXPECT_FALSE(s.nak[1].which.Contains(4));
  ASSERT_EQ(s.split.size(), 2u);
  EXPECT_EQ(s.split[0].value, 20u);
  EXPECT_EQ(s.split[0].value2, 0u);
  EXPECT_TRUE(s.split[1].which.Contains(1000));
  EXPECT_EQ(s.split[1].value2, 3u);
  ASSERT_EQ(s.delay.size(), 2u);
  EXPECT_TRUE(s.delay[0].which.Contains(77));  // no list: every one
  EXPECT_EQ(s.delay[0].value, 4000u);
  EXPECT_FALSE(s.delay[1].which.Contains(6));
  ASSERT_EQ(s.noise.size(), 2u);
  EXPECT_EQ(s.noise[0].kind, ReqKind::Any);
  EXPECT_EQ(s.noise[0].value, 3u);
  ASSERT_EQ(s.hangup.size(), 1u);
  EXPECT_TRUE(s.hangup[0].which.Contains(100));
}

TEST(Scenario, DefaultsAndVariantSpeeds) {
  CScenario s;
  EXPECT_EQ(s.start, StartMode::Dm);
  EXPECT_EQ(s.DmBaud(), 57600u);
  std::string error;
  ASSERT_TRUE(s.Parse("variant=plain", error));
  EXPECT_EQ(s.DmBaud(), 115200u);
  ASSERT_TRUE(s.Parse("  ;; \n", error));  // nothing at all is fine
  ASSERT_TRUE(s.Parse("flash-fill=old", error));
  EXPECT_FALSE(s.flashFill);
}

TEST(Scenario, BadTextsAreRefusedWithTheItemNamed) {
  struct Case {
    const char* text;
    const char* says;
  } cases[] = {
      {"start=flash", "start is todm, dm or download"},
      {"variant=crc16", "variant is crc30 or plain"},
      {"rev=65536", "rev is a number"},
      {"rev=-1", "rev is a number"},
      {"colour=red", "unknown key 'colour'"},
      {"silent", "expected KEY=VALUE"},
      {"silent=version", "silent takes KIND:LIST"},
      {"silent=versoin:1", "'versoin' is not a request kind"},
      {"silent=version:0", "'0' is not a request number"},
      {"silent=version:3-2", "'3-2' is not a request number"},
      {"silent=version:1,x", "'x' is not a request number"},
      {"nak=block:5", "nak takes KIND:LIST:CODE"},
      {"nak=block:5:1FF", "'1FF' is not a reply code"},
      {"split=version:1:5", "too short to split"},
      {"split=version:1:20:0", "not a byte count"},
      {"delay=dmoffline:soon", "'soon' is not a time in ms"},
      {"erase-ms=600001", "is not a time in ms"},
      {"noise=before-reply:0", "not a noise byte count"},
      {"noise=block:1:300", "not a noise byte count"},
      {"badcrc=todm:1", "ToDM answers carry no check value"},
      {"date=Febuary 29 2024", "its field holds 11"},
      {"dm-baud=fast", "not a line speed"},
      {"pace=yes", "pace is on or off"},
      {"dup=status:1", "dup takes KIND:LIST:MS"},
      {"dup=status:1:5:5", "dup takes KIND:LIST:MS"},
      {"dup=stauts:1:5", "'stauts' is not a request kind"},
      {"dup=status:1:soon", "'soon' is not a time in ms"},
      {"junk=status:1", "junk takes KIND:LIST:HEX[:GAP-MS]"},
      {"junk=status:1:7", "'7' is not hex bytes"},
      {"junk=status:1:7G", "'7G' is not hex bytes"},
      {"junk=status:1:0x7E", "'0x7E' is not hex bytes"},
      {"junk=status:1:-7", "'-7' is not hex bytes"},
      {"junk=status:1:02:x", "'x' is not a time in ms"},
      {"extra=block:2:02", "extra takes KIND:LIST:HEX:MS"},
      {"extra=block:2::5", "'' is not hex bytes"},
      {"extra=block:0:02:5", "'0' is not a request number"},
      {"extra=block:2:02:600001", "'600001' is not a time in ms"},
      {"check=crc16", "check is fcs16 or other"},
      {"adapter=0", "'0' is not an adapter hold time"},
      {"adapter=fast", "'fast' is not an adapter hold time"},
      {"adapter=16:0", "'0' is not an adapter packet size"},
      {"adapter=16:4097", "'4097' is not an adapter packet size"},
      {"adapter=16:62:1", "adapter takes MS[:N] or off"},
      {"speed=block:2", "speed takes KIND:LIST:BAUD"},
      {"speed=block:2:fast", "'fast' is not a line speed"},
      {"speed=block:2:200", "'200' is not a line speed"},
      {"ber=0.2", "'0.2' is not a bit error rate"},
      {"ber=-1e-5", "'-1e-5' is not a bit error rate"},
      {"ber=1e-5x", "'1e-5x' is not a bit error rate"},
      {"ber=nan", "'nan' is not a bit error rate"},
      {"ber=:3", "'' is not a bit error rate"},
      {"ber=1e-5:-3", "'-3' is not a seed"},
      {"ber=1e-5:", "'' is not a seed"},
      {"ber=1e-5:1:2", "ber takes RATE[:SEED]"},
      {"busy=wait", "busy is queue, drop or nak"},
      {"write-ms=600001", "is not a time in ms"},
      {"stall=block:5", "stall takes KIND:LIST:MS"},
      {"stall=block:5:600001", "'600001' is not a time in ms"},
  };
  for (const auto& c : cases) {
    CScenario s;
    std::string error;
    EXPECT_FALSE(s.Parse(c.text, error)) << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
    EXPECT_NE(error.find("item 1"), std::string::npos) << error;
  }
}

TEST(Scenario, RepeatsJunkExtrasAndTheLine) {
  CScenario s;
  std::string error;
  ASSERT_TRUE(s.Parse("dup=block:3,5:40; dup=status:*:0; junk=status:1:7E; junk=any:2-3:0255AA:30;"
                      "extra=dlstart:1:a1:0; extra=version:2:0C:25",
                      error))
      << error;
  ASSERT_EQ(s.dup.size(), 2u);
  EXPECT_EQ(s.dup[0].kind, ReqKind::Block);
  EXPECT_TRUE(s.dup[0].which.Contains(5));
  EXPECT_FALSE(s.dup[0].which.Contains(4));
  EXPECT_EQ(s.dup[0].value, 40u);
  EXPECT_EQ(s.dup[1].value, 0u);
  ASSERT_EQ(s.junk.size(), 2u);
  EXPECT_EQ(s.junk[0].bytes, std::vector<uint8_t>{0x7E});
  EXPECT_FALSE(s.junk[0].gap);
  EXPECT_EQ(s.junk[1].bytes, (std::vector<uint8_t>{0x02, 0x55, 0xAA}));
  EXPECT_TRUE(s.junk[1].gap);
  EXPECT_EQ(s.junk[1].value, 30u);
  ASSERT_EQ(s.extra.size(), 2u);
  EXPECT_EQ(s.extra[0].bytes, std::vector<uint8_t>{0xA1});
  EXPECT_EQ(s.extra[0].value, 0u);
  EXPECT_EQ(s.extra[1].value, 25u);

  // A junk text of 256 bytes is the most.
  const std::string most(512, 'F');
  EXPECT_TRUE(s.Parse("junk=status:1:" + most, error)) << error;
  EXPECT_EQ(s.junk.back().bytes.size(), 256u);
  EXPECT_FALSE(s.Parse("junk=status:1:" + most + "FF", error));
  EXPECT_NE(error.find("1 to 256 bytes"), std::string::npos) << error;
}

TEST(Scenario, AdapterAndCheckSettings) {
  struct Case {
    const char* text;
    uint32_t holdMs;
    uint32_t packet;
    CheckStyle check;
  } cases[] = {
      {"", 0, 62, CheckStyle::Fcs16},
      {"adapter=16", 16, 62, CheckStyle::Fcs16},
      {"adapter=1:1; check=fcs16", 1, 1, CheckStyle::Fcs16},
      {"adapter=600000:4096; check=other", 600000, 4096, CheckStyle::Other},
      {"adapter=16:8; adapter=off", 0, 62, CheckStyle::Fcs16},
  };
  for (const auto& c : cases) {
    CScenario s;
    std::string error;
    ASSERT_TRUE(s.Parse(c.text, error)) << c.text << ": " << error;
    EXPECT_EQ(s.adapter.holdMs, c.holdMs) << c.text;
    EXPECT_EQ(s.adapter.On(), c.holdMs > 0) << c.text;
    EXPECT_EQ(s.adapter.packetBytes, c.packet) << c.text;
    EXPECT_EQ(s.check, c.check) << c.text;
  }
}

TEST(Scenario, SpeedRules) {
  CScenario s;
  std::string error;
  ASSERT_TRUE(s.Parse("speed=jump:2:115200; speed=todm:*:57600", error)) << error;
  ASSERT_EQ(s.speed.size(), 2u);
  EXPECT_EQ(s.speed[0].kind, ReqKind::Jump);
  EXPECT_TRUE(s.speed[0].which.Contains(2));
  EXPECT_FALSE(s.speed[0].which.Contains(1));
  EXPECT_EQ(s.speed[0].value, 115200u);
  EXPECT_TRUE(s.speed[1].which.Contains(3));
  EXPECT_EQ(s.speed[1].value, 57600u);
}

TEST(Scenario, LineNoiseBusyAndSlowFlash) {
  struct Case {
    const char* text;
    double rate;
    uint64_t seed;
    BusyMode busy;
    uint32_t writeMs;
  } cases[] = {
      {"", 0, 1, BusyMode::Queue, 0},
      {"ber=1e-5", 1e-5, 1, BusyMode::Queue, 0},
      {"ber=0.00001:18446744073709551615; busy=drop", 1e-5, UINT64_MAX, BusyMode::Drop, 0},
      {"ber=0.1:0; busy=nak; write-ms=20", 0.1, 0, BusyMode::Nak, 20},
      {"ber=1e-3:9; ber=0; busy=drop; busy=queue", 0, 1, BusyMode::Queue, 0},
  };
  for (const auto& c : cases) {
    CScenario s;
    std::string error;
    ASSERT_TRUE(s.Parse(c.text, error)) << c.text << ": " << error;
    EXPECT_EQ(s.ber.rate, c.rate) << c.text;
    EXPECT_EQ(s.ber.On(), c.rate > 0) << c.text;
    EXPECT_EQ(s.ber.seed, c.seed) << c.text;
    EXPECT_EQ(s.busy, c.busy) << c.text;
    EXPECT_EQ(s.timing.writeMs, c.writeMs) << c.text;
  }
  CScenario s;
  std::string error;
  ASSERT_TRUE(s.Parse("stall=block:5:9000; stall=erase:1:104000; erase-ms=600000", error)) << error;
  ASSERT_EQ(s.stall.size(), 2u);
  EXPECT_EQ(FindRule(s.stall, ReqKind::Block, 5, 9), &s.stall[0]);
  EXPECT_EQ(FindRule(s.stall, ReqKind::Block, 4, 9), nullptr);
  EXPECT_EQ(s.stall[1].value, 104000u);
  EXPECT_EQ(s.timing.eraseMs, 600000u);
}

TEST(Scenario, FailedParseLeavesTheScenarioAsItWas) {
  CScenario s;
  std::string error;
  ASSERT_TRUE(s.Parse("rev=7", error));
  EXPECT_FALSE(s.Parse("rev=8; silent=version:1; erase-ms=x", error));
  EXPECT_NE(error.find("item 3"), std::string::npos) << error;
  EXPECT_EQ(s.version.revision, 7);
  EXPECT_TRUE(s.silent.empty());
}

TEST(Scenario, RulesMatchByKindOrOverall) {
  CScenario s;
  std::string error;
  ASSERT_TRUE(s.Parse("silent=block:2; silent=any:10", error));
  EXPECT_EQ(FindRule(s.silent, ReqKind::Block, 2, 5), &s.silent[0]);
  EXPECT_EQ(FindRule(s.silent, ReqKind::Version, 2, 5), nullptr);
  EXPECT_EQ(FindRule(s.silent, ReqKind::Version, 1, 10), &s.silent[1]);
  EXPECT_EQ(FindRule(s.silent, ReqKind::Block, 3, 9), nullptr);
}

}  // namespace
