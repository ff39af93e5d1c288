// The engine's wait: which send a reply answers, and when the next request may go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ReplyWait.h"

namespace {

using State = CReplyWait::State;
using Next = CReplyWait::Next;
using Work = CReplyWait::Work;

// One event and what the wait must say after it. Events: N a new request, R a resend,
// A an ACK, K a NAK of a download-mode request, E a DM error (left to the timer), G the sends
// ran out, Q the quiet time passed.
struct Step {
  char event;
  Next next;  // for A, K, E, G
  State state;
  size_t owed;
};

struct Sequence {
  const char* name;
  std::vector<Step> steps;
};

TEST(ReplyWait, EveryReplyIsMatchedToItsSendAndTheNextRequestWaitsForAllOwed) {
  const Sequence sequences[] = {
      {"answered at once", {{'N', Next::Wait, State::Reply, 1}, {'A', Next::Advance, State::Idle, 0}}},
      {"answered after a resend: the resend's reply is waited for",
       {{'N', Next::Wait, State::Reply, 1},
        {'R', Next::Wait, State::Reply, 2},
        {'A', Next::Wait, State::Drain, 1},
        {'K', Next::Advance, State::Idle, 0}}},
      {"a NAK with nothing else owed: send it again",
       {{'N', Next::Wait, State::Reply, 1}, {'K', Next::SendAgain, State::Reply, 0}}},
      {"a NAK of the first send while the resend is on its way: the resend is the answer to wait for",
       {{'N', Next::Wait, State::Reply, 1},
        {'R', Next::Wait, State::Reply, 2},
        {'K', Next::Wait, State::Reply, 1},
        {'A', Next::Advance, State::Idle, 0}}},
      {"a DM error is left to the reply timer", {{'N', Next::Wait, State::Reply, 1}, {'E', Next::Wait, State::Reply, 0}}},
      {"given up with nothing owed", {{'N', Next::Wait, State::Reply, 1}, {'K', Next::SendAgain, State::Reply, 0},
                                      {'G', Next::GiveUp, State::Idle, 0}}},
      {"given up while owed, then the late ACK: answered after all",
       {{'N', Next::Wait, State::Reply, 1},
        {'R', Next::Wait, State::Reply, 2},
        {'R', Next::Wait, State::Reply, 3},
        {'G', Next::Wait, State::GiveUp, 3},
        {'A', Next::Wait, State::Drain, 2},
        {'K', Next::Wait, State::Drain, 1},
        {'K', Next::Advance, State::Idle, 0}}},
      {"given up while owed, only refusals come: the give-up goes ahead",
       {{'N', Next::Wait, State::Reply, 1},
        {'R', Next::Wait, State::Reply, 2},
        {'G', Next::Wait, State::GiveUp, 2},
        {'K', Next::Wait, State::GiveUp, 1},
        {'K', Next::GiveUp, State::Idle, 0}}},
      {"owed replies that never come are written off when the line is quiet",
       {{'N', Next::Wait, State::Reply, 1},
        {'R', Next::Wait, State::Reply, 2},
        {'A', Next::Wait, State::Drain, 1},
        {'Q', Next::Wait, State::Idle, 0}}},
  };
  for (const Sequence& seq : sequences) {
    CReplyWait w;
    uint64_t now = 1000, tx = 0;
    for (size_t i = 0; i < seq.steps.size(); ++i) {
      const Step& s = seq.steps[i];
      const std::string at = std::string(seq.name) + ", step " + std::to_string(i + 1) + " '" + s.event + "'";
      now += 100;
      std::optional<Next> next;
      switch (s.event) {
        case 'N': w.OnNewRequest(Work::Block, tx += 10, now); break;
        case 'R': w.OnResend(tx += 10, now); break;
        case 'A': next = w.OnAnswer(true, false, now); break;
        case 'K': next = w.OnAnswer(false, true, now); break;
        case 'E': next = w.OnAnswer(false, false, now); break;
        case 'G': next = w.OnGiveUp(now); break;
        case 'Q': w.OnQuiet(); break;
      }
      if (next) {
        EXPECT_EQ(static_cast<int>(*next), static_cast<int>(s.next)) << at;
      }
      EXPECT_EQ(static_cast<int>(w.GetState()), static_cast<int>(s.state)) << at;
      EXPECT_EQ(w.Owed(), s.owed) << at;
    }
  }
}

TEST(ReplyWait, AReplyBeforeTheOldestOwedSendHadLeftAnswersAnEarlierRequest) {
  CReplyWait w;
  EXPECT_EQ(w.Classify(0), CReplyWait::Match::Nothing);
  w.OnNewRequest(Work::Block, 4110, 0);
  EXPECT_EQ(w.Classify(4109), CReplyWait::Match::TooEarly);
  EXPECT_FALSE(w.OldestOwedHasLeft(4109));
  EXPECT_EQ(w.Classify(4110), CReplyWait::Match::Answers);
  w.OnResend(8220, 3000);
  EXPECT_EQ(w.Classify(5000), CReplyWait::Match::Answers) << "the oldest send is the one answered";
}

TEST(ReplyWait, SendsAreCountedPerRequestAcrossAnswersAndStartAgainOnlyWithTheNext) {
  CReplyWait w;
  w.OnNewRequest(Work::Block, 10, 0);
  w.OnResend(20, 3000);
  w.OnAnswer(true, false, 3100);  // the first send's ACK, the resend still owed
  EXPECT_EQ(w.Sends(), 2u);
  w.OnAnswer(false, true, 3200);
  EXPECT_EQ(w.Sends(), 2u) << "an answer never starts the count again";
  w.OnNewRequest(Work::Block, 30, 3300);
  EXPECT_EQ(w.Sends(), 1u);
  EXPECT_EQ(w.TotalSends(), 3u);
}

TEST(ReplyWait, TheTimeGivenFollowsTheSlowestAnswerOfItsKind) {
  CReplyWait w;
  EXPECT_EQ(w.ReplyMs(Work::Erase, 100000), 100000u);
  w.OnNewRequest(Work::Erase, 10, 0);
  w.OnAnswer(true, false, 104000, 10);  // an erase of 104 s
  EXPECT_EQ(w.SlowestMs(Work::Erase), 104000u);
  EXPECT_EQ(w.ReplyMs(Work::Erase, 100000), 208000u) << "twice the slowest";
  EXPECT_EQ(w.ReplyMs(Work::Block, 3000), 3000u) << "kinds are apart";

  w.OnNewRequest(Work::Block, 30, 300000);
  w.OnAnswer(true, false, 320000, 30);
  EXPECT_EQ(w.ReplyMs(Work::Block, 3000), 12000u) << "never more than four periods";
}

TEST(ReplyWait, AnAnswerThatCouldBeAResendsTeachesTheLeastForLaterRequestsAndTheMostForItsOwnDrain) {
  CReplyWait w;
  // A prompt handset whose first reply was lost: the resend's answer is matched to the first
  // send, but the handset is not slow.
  w.OnNewRequest(Work::Short, 10, 0);
  w.OnResend(20, 3000);
  EXPECT_EQ(w.OnAnswer(true, false, 3005, 20), Next::Wait);
  EXPECT_EQ(w.SlowestMs(Work::Short), 5u);
  EXPECT_EQ(w.ReplyMs(Work::Short, 3000), 3000u) << "later requests keep their period";
  EXPECT_EQ(w.QuietMs(3000), 6010u) << "its own drain waits as long as the first send may have taken, twice";

  // A busy handset: the NAKed block's resends each take 3.5 s and queue behind each other.
  CReplyWait b;
  b.OnNewRequest(Work::Block, 100, 10000);
  EXPECT_EQ(b.OnAnswer(false, true, 10020, 100), Next::SendAgain);
  b.OnResend(200, 10220);
  b.OnResend(300, 13220);  // its reply time ran out
  EXPECT_EQ(b.OnAnswer(true, false, 13720, 300), Next::Wait);
  EXPECT_EQ(b.GetState(), State::Drain);
  EXPECT_GE(b.QuietMs(3000), 7000u) << "the third send's answer may take as long as the second's";
  EXPECT_EQ(b.OnAnswer(true, false, 17220, 300), Next::Advance);
  EXPECT_EQ(b.SlowestMs(Work::Block), 3500u) << "timed from the answer before it: the handset works in order";
}

TEST(ReplyWait, AWaitForOwedRepliesHasABoundWhateverTheLineDoes) {
  CReplyWait w;
  w.OnNewRequest(Work::Block, 10, 0);
  w.OnResend(20, 3000);
  w.OnResend(30, 6000);
  EXPECT_EQ(w.OnGiveUp(9000), Next::Wait);
  const uint64_t deadline = w.WaitDeadlineMs(3000);
  EXPECT_GT(deadline, 9000u + w.QuietMs(3000));
  for (uint64_t t = 11000; t < 200000; t += 2000) w.OnActivity(t);  // a damaged frame every 2 s
  EXPECT_LE(w.WaitDeadlineMs(3000), deadline) << "activity never moves the bound later";
  EXPECT_LE(deadline, 9000u + 2 * 4 * 3000u);
  w.RestartWaitBound(deadline);
  EXPECT_LE(w.WaitDeadlineMs(3000), CReplyWait::kRequestPeriods * 3000u) << "a request outlives no more periods";
  EXPECT_FALSE(w.Outlived(35999, 3000));
  EXPECT_TRUE(w.Outlived(36000, 3000));
}

TEST(ReplyWait, AGiveUpOnAHandsetSilentOnEverySendWaitsFourPeriodsUnlessItWasHeard) {
  CReplyWait w;
  w.OnNewRequest(Work::Block, 10, 0);
  w.OnResend(20, 3000);
  w.OnResend(30, 6000);
  EXPECT_EQ(w.OnGiveUp(9000), Next::Wait);
  EXPECT_EQ(w.QuietMs(3000), 12000u) << "it may be stalled over a write";
  EXPECT_EQ(w.LastActivityMs(), 9000u);
  w.OnActivity(9500);  // a damaged frame: it is talking
  EXPECT_EQ(w.QuietMs(3000), 3000u);
}

TEST(ReplyWait, TheFirstRequestAfterAWriteOffIsSuspect) {
  CReplyWait w;
  w.OnNewRequest(Work::Block, 10, 0);
  w.OnResend(20, 3000);
  w.OnAnswer(true, false, 3100);
  w.OnQuiet();  // the resend's reply written off
  EXPECT_EQ(w.WrittenOff(), 1u);
  w.OnNewRequest(Work::Block, 30, 9000);
  EXPECT_TRUE(w.Suspect());
  w.OnAnswer(true, false, 9040);
  EXPECT_EQ(w.ConfirmMs(200), 6200u) << "twice the most the written-off request's answer may have taken";
  w.OnNewRequest(Work::Block, 40, 9500);
  EXPECT_FALSE(w.Suspect());
}

}  // namespace
