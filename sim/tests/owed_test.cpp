// The handset's record of a host that sends a new request while a reply is still owed.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;

namespace {

constexpr const char* kStatusReq = "7F 0C 14 3A 7E";
constexpr const char* kVersionReq = "7F 00 78 F0 7E";
constexpr const char* kNote = " [sent while a reply was owed]";

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A status request, then after waitMs (virtual, nothing taken) a second frame.
TEST(HandsetOwed, SecondFrameWhileTheFirstIsAnswered) {
  struct Case {
    const char* name;
    const char* scenario;
    uint64_t waitMs;
    const char* second;
    bool owed;
  } cases[] = {
      {"reply not yet due", "", 1, kVersionReq, true},
      {"reply due as it arrives", "", 3, kVersionReq, false},
      {"reply long out", "", 50, kVersionReq, false},
      {"handset still at work", "reply-ms=200", 100, kVersionReq, true},
      {"delayed reply", "delay=status:1:500", 100, kVersionReq, true},
      {"identical resend", "delay=status:1:500", 100, kStatusReq, false},
      {"resend under another opening", "delay=status:1:500", 100, "0C 14 3A 7E", false},
      {"a bad frame is another request", "delay=status:1:500", 100, "7F 0C 14 3B 7E", true},
      {"silent request owes nothing", "silent=status:1", 0, kVersionReq, false},
      {"nak owes its answer", "nak=status:1:13; delay=status:1:100", 50, kVersionReq, true},
      {"second part of a split", "split=status:1:100", 50, kVersionReq, true},
      {"after the split", "split=status:1:100", 150, kVersionReq, false},
      {"a duplicate is not owed", "dup=status:1:200", 50, kVersionReq, false},
      {"an extra reply is not owed", "extra=status:1:0C:200", 50, kVersionReq, false},
      {"after dup and extra", "dup=status:1:20; extra=status:1:0C:20", 100, kVersionReq, false},
      {"junk out, reply not", "junk=status:1:02:100", 50, kVersionReq, true},
      {"held in the adapter", "adapter=60", 30, kVersionReq, true},
      {"handed over by the adapter", "adapter=60", 80, kVersionReq, false},
  };
  for (const auto& c : cases) {
    Bench b(c.scenario);
    b.Send(kStatusReq, 57600);
    b.Wait(c.waitMs);
    b.Send(c.second, 57600);
    const auto& rec = b.model.Records();
    ASSERT_EQ(rec.size(), 2u) << c.name;
    EXPECT_FALSE(rec[0].whileOwed) << c.name;
    EXPECT_EQ(rec[1].whileOwed, c.owed) << c.name;
    EXPECT_EQ(EndsWith(rec[1].outcome, kNote), c.owed) << c.name << ": " << rec[1].outcome;
    EXPECT_EQ(b.model.RequestsWhileOwed(), c.owed ? 1u : 0u) << c.name;
  }
}

TEST(HandsetOwed, CountsEveryOffenceAndTheRecordLineShowsIt) {
  Bench b("delay=status:*:300; silent=version:2");
  b.Send(kStatusReq, 57600);
  b.Wait(10);
  b.Send(kVersionReq, 57600);  // while owed: the status reply (and now its own)
  b.Wait(10);
  b.Send(kVersionReq, 57600);  // a resend of the version request, lost by the scenario
  b.Wait(10);
  b.Send(kStatusReq, 57600);  // the version reply is still owed, and it is another request
  b.Reply();
  b.Send(kVersionReq, 57600);  // after everything went out
  const auto& rec = b.model.Records();
  ASSERT_EQ(rec.size(), 5u);
  EXPECT_EQ(b.model.RequestsWhileOwed(), 2u);
  EXPECT_TRUE(rec[1].whileOwed);
  EXPECT_FALSE(rec[2].whileOwed);
  EXPECT_EQ(rec[2].outcome, "silent (scenario)");
  EXPECT_TRUE(rec[3].whileOwed);
  EXPECT_FALSE(rec[4].whileOwed);
  const std::string line = FormatRecord(rec[1]);
  EXPECT_TRUE(EndsWith(line, kNote)) << line;
}

}  // namespace

// A download request whose closing flag the line damaged stays open in the handset's receiver
// until the host's next frame opens: that flag closes it, and the refusal it earns is owed from
// then on. The next frame could not have waited for it.
TEST(HandsetOwed, AFrameWhoseOpeningFlagClosedADamagedOneIsNotSentWhileOwed) {
  Bench b("start=download");
  b.Send("7E A0 72 55 7A", 57600);  // the closing 7E damaged into 7A
  b.Wait(3000);
  b.Send("7E A0 72 55 7E", 57600);
  const auto& rec = b.model.Records();
  ASSERT_EQ(rec.size(), 2u);
  EXPECT_EQ(rec[0].check, FrameCheck::Bad);
  EXPECT_EQ(rec[1].check, FrameCheck::Ok);
  EXPECT_FALSE(rec[1].whileOwed) << rec[1].outcome;
  EXPECT_EQ(b.model.RequestsWhileOwed(), 0u);
  EXPECT_EQ(b.Reply(), "A1 FB 44 7E 02 6A D3 7E");
}

// The line damaged a block write (its refusal is owed a while) or made a piece of one (noise
// made a flag in it): the host's resend of the block cannot have waited for answers to frames
// it never sent as such. Another block in its place is sent while owed.
TEST(HandsetOwed, TheResendOfAFrameTheLineSpoiltIsNotSentWhileOwed) {
  const auto blockA = simtest::Block(0, std::vector<uint8_t>(4096, 0x11));
  const auto blockB = simtest::Block(0x1000, std::vector<uint8_t>(4096, 0x22));
  std::vector<uint8_t> damaged = blockA;
  damaged[2000] ^= 0x01;  // in the data: the FCS no longer holds
  std::vector<uint8_t> piece(blockA.begin() + 2000, blockA.end());  // after a flag noise made
  piece[10] ^= 0x01;
  struct Case {
    const char* name;
    const std::vector<uint8_t>& spoilt;
    const std::vector<uint8_t>& next;
    bool owed;
  } cases[] = {
      {"resend after a damaged copy", damaged, blockA, false},
      {"another block after a damaged copy", damaged, blockB, true},
      {"resend after a piece", piece, blockA, false},
  };
  for (const auto& c : cases) {
    Bench b = simtest::InModule("reply-ms=300");
    const size_t before = b.model.Records().size();
    b.Send(c.spoilt, 57600);
    b.Wait(10);
    b.Send(c.next, 57600);
    const auto& rec = b.model.Records();
    ASSERT_EQ(rec.size(), before + 2) << c.name;
    EXPECT_EQ(rec[before].check, FrameCheck::Bad) << c.name << ": " << FormatRecord(rec[before]);
    EXPECT_EQ(rec.back().whileOwed, c.owed) << c.name << ": " << FormatRecord(rec.back());
  }
}

// The line's bit errors hit the head (command, address, length) of a resend: it reads as another
// request, but the host sent the same one again. A frame the line changed does not show which
// request the host sent.
TEST(HandsetOwed, AResendWhoseHeadTheLineChangedIsNotSentWhileOwed) {
  const auto blockA = simtest::Block(0, std::vector<uint8_t>(4096, 0x11));
  bool found = false;
  for (int seed = 1; seed < 400 && !found; ++seed) {
    Bench b = simtest::InModule("reply-ms=3000; ber=1e-3:" + std::to_string(seed));
    const size_t before = b.model.Records().size();
    b.Send(blockA, 57600);
    b.Wait(10);
    b.Send(blockA, 57600);
    const auto& rec = b.model.Records();
    if (rec.size() != before + 2 || rec.back().check != FrameCheck::Bad || rec.back().opening != 0x7E ||
        rec.back().bytes.size() < 7)
      continue;
    std::vector<uint8_t> head(blockA.begin() + 1, blockA.begin() + 8);  // past the opening flag
    if (std::equal(head.begin(), head.end(), rec.back().bytes.begin())) continue;
    found = true;
    EXPECT_FALSE(rec.back().whileOwed) << FormatRecord(rec.back());
  }
  ASSERT_TRUE(found) << "no seed hit a resend's head";
}
