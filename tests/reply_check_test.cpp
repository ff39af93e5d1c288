// Learning whether a handset's replies end in their FCS-16, from the answers alone.
#include <gtest/gtest.h>

#include <vector>

#include "ReplyCheck.h"

namespace {

using Kind = CReplyCheck::Kind;
using Verdict = CReplyCheck::Verdict;

struct Frame {
  std::vector<uint8_t> bytes;
  bool fcsMatches;
  bool answer;  // answers a request in hand (else: junk, a stray, a late reply of another mode)
  bool replySized = true;  // has the size a reply of its kind can have
};

struct CheckCase {
  const char* name;
  std::vector<Frame> frames;
  std::vector<Verdict> verdicts;
  Kind kind;
};

const std::vector<uint8_t> kAck = {0x02, 0x6A, 0xD3};
const std::vector<uint8_t> kOtherAck = {0x02, 0x12, 0x34};
const std::vector<uint8_t> kOtherNak = {0xA1, 0x56, 0x78};

TEST(ReplyCheck, LearntOnlyFromAnswersAndOtherCheckOnlyFromARepeat) {
  const CheckCase cases[] = {
      {"one matching answer settles FCS-16; a mismatch after is damage",
       {{kAck, true, true}, {kOtherAck, false, true}},
       {Verdict::Verified, Verdict::Damaged},
       Kind::Fcs16},
      {"a handset with another check: the same answer twice",
       {{kOtherAck, false, true}, {kOtherAck, false, true}, {kOtherNak, false, true}},
       {Verdict::Damaged, Verdict::Unverified, Verdict::Unverified},
       Kind::Other},
      {"two damaged answers, not alike: still unknown",
       {{{0x02, 0x6A, 0xD2}, false, true}, {{0x02, 0x4A, 0xD3}, false, true}},
       {Verdict::Damaged, Verdict::Damaged},
       Kind::Unknown},
      {"junk and strays teach nothing, however alike",
       {{{0x11, 0x22, 0x33}, false, false}, {{0x11, 0x22, 0x33}, false, false}, {kAck, true, false}},
       {Verdict::Damaged, Verdict::Damaged, Verdict::Verified},
       Kind::Unknown},
      {"a repeat broken by another mismatch starts again",
       {{kOtherAck, false, true}, {kOtherNak, false, true}, {kOtherAck, false, true}, {kOtherAck, false, true}},
       {Verdict::Damaged, Verdict::Damaged, Verdict::Damaged, Verdict::Unverified},
       Kind::Other},
      {"junk of a size no reply has never settles another check, however alike",
       {{{0x02, 0x00, 0x00, 0x11, 0x22}, false, true, false}, {{0x02, 0x00, 0x00, 0x11, 0x22}, false, true, false},
        {kOtherAck, false, true}},
       {Verdict::Damaged, Verdict::Damaged, Verdict::Damaged},
       Kind::Unknown},
      {"another check settled by alike junk is taken back by the first reply that matches FCS-16",
       {{kOtherAck, false, true}, {kOtherAck, false, true}, {kAck, true, true}, {kOtherAck, false, true}},
       {Verdict::Damaged, Verdict::Unverified, Verdict::Verified, Verdict::Damaged},
       Kind::Fcs16},
      {"and by a stray that matches",
       {{kOtherAck, false, true}, {kOtherAck, false, true}, {kAck, true, false}},
       {Verdict::Damaged, Verdict::Unverified, Verdict::Verified},
       Kind::Fcs16},
      {"a match after a mismatch settles FCS-16",
       {{kOtherAck, false, true}, {kAck, true, true}, {kOtherAck, false, true}},
       {Verdict::Damaged, Verdict::Verified, Verdict::Damaged},
       Kind::Fcs16},
  };
  for (const CheckCase& c : cases) {
    CReplyCheck check;
    ASSERT_EQ(c.frames.size(), c.verdicts.size()) << c.name;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      const Frame& f = c.frames[i];
      const Verdict v = f.answer ? check.JudgeAnswer(f.bytes.data(), f.bytes.size(), f.fcsMatches, f.replySized)
                                 : check.JudgeStray(f.fcsMatches);
      EXPECT_EQ(static_cast<int>(v), static_cast<int>(c.verdicts[i])) << c.name << ", frame " << i + 1;
    }
    EXPECT_EQ(static_cast<int>(check.Get()), static_cast<int>(c.kind)) << c.name;
  }
}

TEST(ReplyCheck, TheRepeatThatSettlesItIsSaidAndAResetForgetsEverything) {
  CReplyCheck check;
  check.JudgeAnswer(kOtherAck.data(), kOtherAck.size(), false);
  EXPECT_FALSE(check.SettledOnRepeat());
  check.JudgeAnswer(kOtherAck.data(), kOtherAck.size(), false);
  EXPECT_TRUE(check.SettledOnRepeat()) << "the answer before it was one too";
  check.JudgeAnswer(kOtherNak.data(), kOtherNak.size(), false);
  EXPECT_FALSE(check.SettledOnRepeat());
  EXPECT_FALSE(check.Revoked());
  check.JudgeAnswer(kAck.data(), kAck.size(), true);
  EXPECT_TRUE(check.Revoked()) << "what was taken unchecked cannot be trusted";
  check.JudgeAnswer(kAck.data(), kAck.size(), true);
  EXPECT_FALSE(check.Revoked()) << "said once";
  check.Reset();
  EXPECT_EQ(check.Get(), Kind::Unknown);
  EXPECT_EQ(check.JudgeAnswer(kOtherAck.data(), kOtherAck.size(), false), Verdict::Damaged)
      << "no remembered mismatch survives a reset";
}

}  // namespace
