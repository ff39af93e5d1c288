// Handsets that are slow or busy and cables that are noisy, on virtual time with the in-process
// handset: a NOR erase or block write during which the handset hears nothing (or answers A1,
// or keeps what fits its receive FIFO), stalls past every reply time, an erase longer than its
// timer, bit errors both ways, a handset that refuses everything. Whatever it does, a download
// that says "Downloading completed" has the image in the flash and nothing else changed, any
// other end is a clear failure with the idle buttons back in bounded time, and no request
// leaves while a reply to another is still owed.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/EngineHarness.h"
#include "support/FlashCheck.h"

namespace {

constexpr size_t kFlashSize = size_t{1} << 20;
constexpr uint32_t kStart = 0x10000;

enum class End { Completed, NoReply, HandsetRefused };

const char* Name(End e) {
  switch (e) {
    case End::Completed: return "completed";
    case End::NoReply: return "no reply";
    case End::HandsetRefused: return "handset refused";
  }
  return "?";
}

struct Ran {
  std::optional<Outcome> outcome;
  uint64_t ms = 0;  // from Run to the end, virtual
};

class EngineBusyHandsetTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    h.reset();  // one engine at a time
    h = std::make_unique<CEngineHarness>("rev=1; erase-ms=200; " + scenario, kFlashSize);
    h->Init();
    before = h->Flash(0, kFlashSize);
  }
  uint32_t RequestsWhileOwed() {
    uint32_t n = 0;
    h->loop->WithModel([&](sim::CHandsetModel& m) { n = m.RequestsWhileOwed(); });
    return n;
  }
  size_t FramesOf(uint8_t cmd) {
    size_t n = 0;
    for (const auto& f : h->Frames()) n += f.check == sim::FrameCheck::Ok && !f.bytes.empty() && f.bytes[0] == cmd;
    return n;
  }
  bool IdleButtons() {
    auto& c = h->win.Controls();
    return c.IsEnabled(IDC_OPEN) && c.IsEnabled(IDC_RUN) && c.IsEnabled(IDC_TODM) && c.IsEnabled(IDC_INFO) &&
           !c.IsEnabled(IDC_STOP);
  }
  // Runs a download of `blocks` blocks to its end and checks what every end must hold.
  // withinModel false: the handset outlasts every wait, so a request may meet it still owing.
  Ran Download(int type, int blocks, const std::string& label, bool withinModel = true,
               uint64_t boundMs = 30 * 60 * 1000) {
    const uint32_t size = kStart + static_cast<uint32_t>(blocks) * 4096u;
    image = h->MakeImage(size, kStart, 1);
    h->OpenImage(image);
    h->Select(IDC_TYPE, type);
    h->win.ExpectMessageBox("Downloading completed", IDOK);
    const uint64_t t0 = h->win.Now();
    h->Click(IDC_RUN);
    const auto& e = h->events;
    EXPECT_TRUE(h->RunUntil([&] { return !e.finished.empty(); }, boundMs))
        << label << ": no end within " << boundMs / 1000 << " s\n" << h->LogText();
    Ran ran;
    ran.outcome = e.LastOutcome();
    ran.ms = h->win.Now() - t0;
    h->RunFor(30000);  // anything still to come must not change the verdict
    EXPECT_EQ(e.finished.size(), 1u) << label << ": one end only";
    if (withinModel) {
      EXPECT_EQ(RequestsWhileOwed(), 0u) << label << ": a request left while a reply was owed";
    }
    const bool completed = ran.outcome == Outcome::Completed;
    EXPECT_EQ(completed, h->BoxShown("Downloading completed")) << label;
    const std::vector<uint8_t> after = h->Flash(0, kFlashSize);
    const std::vector<uint8_t> bytes = h->ReadFile(image);
    if (completed) {
      ExpectImageInRangeOnly(after, before, bytes.data() + kStart, kStart, size, label);
    } else {
      EXPECT_TRUE(IdleButtons()) << label;
    }
    EXPECT_TRUE(h->win.Failures().empty()) << label << "\n" << h->win.JournalText();
    return ran;
  }
  static End EndOf(const Ran& r) {
    if (r.outcome == Outcome::Completed) return End::Completed;
    if (r.outcome == Outcome::HandsetRefused) return End::HandsetRefused;
    return End::NoReply;
  }

  std::unique_ptr<CEngineHarness> h;
  std::vector<uint8_t> before;
  std::string image;
};

struct BusyCase {
  const char* name;
  const char* scenario;
  End end;
  uint64_t withinMs;  // the download's end comes this soon after Run, virtual
};

TEST_F(EngineBusyHandsetTest, SlowAndBusyHandsetsNeverGetAFalseSuccess) {
  // The n-th block request counts every block write, resends included; 16 blocks a download.
  const BusyCase cases[] = {
      // A late ACK after the block's sends ran out must not pass for the new erase's.
      {"a block NAKed twice, its third send ACKed 3.5 s late; deaf while busy",
       "busy=drop; nak=block:5-6:A1; delay=block:7:3500", End::Completed, 120000},
      {"the same, A1 while busy", "busy=nak; nak=block:5-6:A1; delay=block:7:3500", End::Completed, 120000},
      {"one block write stalls 9 s, deaf meanwhile", "busy=drop; stall=block:5:9000", End::Completed, 120000},
      {"one block write stalls 9 s, A1 meanwhile", "busy=nak; stall=block:5:9000", End::Completed, 120000},
      {"one block write stalls 9 s, frames kept", "busy=queue; stall=block:5:9000", End::Completed, 120000},
      {"a stall past the give-up, 11 s", "busy=drop; stall=block:5:11000", End::Completed, 120000},
      {"a stall of 20 s", "busy=drop; stall=block:5:20000", End::Completed, 120000},
      {"the last block stalls 9 s", "busy=drop; stall=block:16:9000", End::Completed, 120000},
      // An erase longer than its timer: the first erase's ACK after the resend is no reason
      // to write while the handset may be erasing for the second request.
      {"an erase of 104 s", "stall=erase:1:104000", End::Completed, 600000},
      {"an erase of 104 s, A1 while busy", "busy=nak; stall=erase:1:104000", End::Completed, 600000},
      {"an erase of 250 s, sent three times", "stall=erase:1:250000", End::Completed, 900000},
      {"every erase takes 104 s", "erase-ms=104000", End::Completed, 900000},
      // Block writes a little longer than the reply time: bounded, never without end.
      {"every block write 3.1 s, A1 while busy", "busy=nak; write-ms=3100", End::Completed, 300000},
      {"every block write 3.1 s, deaf while busy", "busy=drop; write-ms=3100", End::Completed, 300000},
      {"every block write 3.1 s, frames kept", "busy=queue; write-ms=3100", End::Completed, 300000},
      {"every block write 5 s, A1 while busy", "busy=nak; write-ms=5000", End::Completed, 300000},
      // A handset that restarted into another mode answers with errors: given up on quickly.
      {"every erase refused", "nak=erase:*:A3", End::HandsetRefused, 30000},
      {"every block refused from the fifth on", "nak=block:5-1000000:A3", End::HandsetRefused, 60000},
      {"every erase answered with a damaged reply", "badcrc=erase:*", End::NoReply, 30000},
      {"a handset that never acknowledges a block", "silent=block:*", End::NoReply, 300000},
  };
  for (const BusyCase& c : cases) {
    Start(std::string("start=download; ") + c.scenario);
    const Ran ran = Download(TYPE_EMERGENCY, 16, c.name);
    EXPECT_STREQ(Name(EndOf(ran)), Name(c.end)) << c.name << "\n" << h->LogText();
    EXPECT_LE(ran.ms, c.withinMs) << c.name;
    h.reset();
  }
}

TEST_F(EngineBusyHandsetTest, ABlockSentWhileTheHandsetIsBusyIsBoundedBySendsNotByAnswers) {
  // Every write outlasts the reply time: the first send's ACK comes after the resend went, the
  // resend is refused as the handset was busy. Neither answer may start the count again.
  Start("start=download; busy=nak; write-ms=3100");
  const Ran ran = Download(TYPE_EMERGENCY, 8, "writes of 3.1 s");
  ASSERT_EQ(ran.outcome, Outcome::Completed) << h->LogText();
  EXPECT_LE(FramesOf(0xDD), 8u * 2u) << "at most one resend a block";
  EXPECT_EQ(FramesOf(0xEE), 1u) << "no block was given up on";
}

TEST_F(EngineBusyHandsetTest, TheLateAckOfAGivenUpBlockIsTheBlocksNotTheErases) {
  // Stalled past three reply times, then answered: the ACK belongs to the block, which was
  // written after all, so programming goes on without a new erase.
  Start("start=download; busy=drop; stall=block:5:11000");
  const Ran ran = Download(TYPE_EMERGENCY, 16, "stall 11 s");
  ASSERT_EQ(ran.outcome, Outcome::Completed) << h->LogText();
  EXPECT_EQ(FramesOf(0xEE), 1u) << h->LogText();
  // A stall that outlasts every wait: the erase goes and the handset keeps it, so the block's
  // ACK comes while the erase is owed and is taken for its answer. The erase's own ACK follows
  // within an erase's time, before any block goes: the replies are out of step, and it says so.
  Start("start=download; busy=queue; stall=block:5:40000");
  const Ran slow = Download(TYPE_EMERGENCY, 16, "stall 40 s", false);
  EXPECT_EQ(slow.outcome, Outcome::OutOfStep) << h->LogText();
}

TEST_F(EngineBusyHandsetTest, ALongWaitSaysWhatItWaitsFor) {
  Start("start=download; stall=erase:1:104000");
  const Ran ran = Download(TYPE_EMERGENCY, 4, "erase of 104 s");
  ASSERT_EQ(ran.outcome, Outcome::Completed) << h->LogText();
  const std::string log = h->LogText();
  EXPECT_NE(log.find("Flash erase: no answer yet after 10 s"), std::string::npos) << log;
  EXPECT_NE(log.find("Flash erase: no answer yet after 90 s"), std::string::npos) << log;
}

TEST_F(EngineBusyHandsetTest, ANoisyCableNeverGetsAFalseSuccess) {
  // Bit errors both ways: requests NAKed or lost, replies damaged, flags made and destroyed.
  for (const char* rate : {"1e-5", "1e-4"}) {
    for (int seed = 1; seed <= 4; ++seed) {
      const std::string s = std::string("ber=") + rate + ":" + std::to_string(seed);
      Start("start=download; " + s);
      const Ran ran = Download(TYPE_EMERGENCY, 64, s);
      if (std::string(rate) == "1e-5") {
        EXPECT_EQ(ran.outcome, Outcome::Completed) << s << "\n" << h->LogText();
      }
      h.reset();
    }
  }
  for (int seed = 1; seed <= 2; ++seed) {
    const std::string s = "ber=1e-5:" + std::to_string(seed);
    Start(s);  // the DM phase too, CRC-30 replies and all
    EXPECT_EQ(Download(TYPE_NORMAL, 32, s).outcome, Outcome::Completed) << s << "\n" << h->LogText();
    h.reset();
  }
}

TEST_F(EngineBusyHandsetTest, FramesNobodyAskedForNeverTeachTheReplyCheck) {
  // Two junk frames before the first download-mode reply, then a lost block answered only by
  // a damaged frame that begins with the ACK code: the check must still be FCS-16, the damaged
  // frame no ACK.
  Start("start=download; silent=block:3");
  image = h->MakeImage(kStart + 16 * 4096, kStart, 1);
  h->OpenImage(image);
  h->Select(IDC_TYPE, TYPE_EMERGENCY);
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  auto inject = [&](std::vector<uint8_t> bytes) {
    h->dlg->Comm().ParseRxData(bytes.data(), static_cast<int>(bytes.size()), h->win.Now());
  };
  ASSERT_TRUE(h->RunUntil([&] { return FramesOf(0xA0) == 1; }, 10000));
  inject({0x11, 0x22, 0x33, 0x7E});
  inject({0x44, 0x55, 0x66, 0x7E});
  ASSERT_TRUE(h->RunUntil([&] { return h->Frames().size() >= 8 && FramesOf(0xDD) == 3; }, 60000)) << h->LogText();
  h->RunFor(50);
  inject({0x02, 0x12, 0x34, 0x7E});
  ASSERT_TRUE(h->RunUntil([&] { return !h->events.finished.empty(); }, 600000)) << h->LogText();
  ASSERT_EQ(h->events.LastOutcome(), Outcome::Completed) << h->LogText();
  const std::vector<uint8_t> after = h->Flash(0, kFlashSize);
  const std::vector<uint8_t> bytes = h->ReadFile(image);
  EXPECT_TRUE(std::equal(bytes.begin() + kStart, bytes.end(), after.begin() + kStart))
      << "block 3 was taken as written on a damaged frame";
  EXPECT_EQ(RequestsWhileOwed(), 0u);
}

TEST_F(EngineBusyHandsetTest, AnswersThatCouldBeAnotherSendsNeverGetAFalseSuccessOrAGiveUp) {
  struct Case {
    const char* name;
    int speedIdx;  // 0: 57600 bit/s, 1: 115200
    const char* scenario;
    End end;
    uint64_t withinMs;
  };
  // Block writes are counted over the run, resends included.
  const Case cases[] = {
      // The resends' answers show how slow the handset is: the third send's ACK is waited for
      // before the next block goes, and never taken for that block's.
      {"a NAKed block whose two resends take 3.5 s each, the next block lost", 1,
       "nak=block:5:A1; stall=block:6-7:3500; silent=block:8", End::Completed, 120000},
      {"the same at 57600", 0, "nak=block:5:A1; stall=block:6-7:3500; silent=block:8",
       End::Completed, 120000},
      {"the same, deaf while busy", 1, "busy=drop; nak=block:5:A1; stall=block:6-7:3500; silent=block:8",
       End::Completed, 120000},
      // A repeated ACK comes before the next block's line time is over: it answers nothing.
      {"an ACK repeated 60 ms apart, the next block lost", 1, "dup=block:5:60; silent=block:6",
       End::Completed, 120000},
      {"the same at 57600", 0, "dup=block:5:60; silent=block:6", End::Completed, 120000},
      // Lost replies cost a resend each, never the download, and leave the reply times as they were.
      {"the first reply of each set-up request lost", 1,
       "silent=dlstart:1; silent=copy:1; silent=baud:1", End::Completed, 120000},
      {"one block reply in eight lost", 1, "silent=block:3,12,21,30", End::Completed, 180000},
  };
  for (const Case& c : cases) {
    Start(std::string("start=download; ") + c.scenario);
    h->Select(IDC_SPEED, c.speedIdx);
    const Ran ran = Download(TYPE_EMERGENCY, 16, c.name);
    EXPECT_STREQ(Name(EndOf(ran)), Name(c.end)) << c.name << "\n" << h->LogText();
    EXPECT_LE(ran.ms, c.withinMs) << c.name;
    if (c.end == End::Completed) {
      EXPECT_EQ(FramesOf(0xEE), 1u) << c.name << ": no block was given up on\n" << h->LogText();
    }
    h.reset();
  }
}

TEST_F(EngineBusyHandsetTest, JunkAlikeTwiceNeverSwitchesTheCheckOffForGood) {
  struct Case {
    const char* name;
    const char* scenario;
    std::optional<Outcome> outcome;  // none: completed or a clear failure, never a false success
  };
  const Case cases[] = {
      // Frames of a size no download-mode reply has teach nothing.
      {"two alike 5-byte frames", "junk=dlstart:1:02AABBCCDD7E02AABBCCDD7E", Outcome::Completed},
      // Reply-sized ones settle another check until the first reply that matches FCS-16 shows
      // them for junk, before any block was taken on it.
      {"two alike 3-byte frames", "junk=dlstart:1:02AABB7E02AABB7E", Outcome::Completed},
      // Every reply fails FCS-16 alike until the third block's: the blocks before were taken
      // on replies nobody could check, and nothing says they were not junk.
      {"replies that fail FCS-16 until the third block", "badcrc=dlstart:*; badcrc=copy:*; badcrc=baud:*; badcrc=jump:*; badcrc=erase:*; badcrc=block:1-2",
       Outcome::OutOfStep},
  };
  for (const Case& c : cases) {
    // The third block's ACK comes damaged: it must never pass for an ACK.
    Start(std::string("start=download; badcrc=block:3; ") + c.scenario);
    const Ran ran = Download(TYPE_EMERGENCY, 8, c.name);
    EXPECT_EQ(ran.outcome, c.outcome) << c.name << "\n" << h->LogText();
    h.reset();
  }
}

TEST_F(EngineBusyHandsetTest, AWaitForOwedRepliesEndsEvenWhenTheLineNeverFallsQuiet) {
  // Every send of a block unanswered, then a damaged frame every 2 s until the host speaks: the
  // wait before the new erase cannot write the sends off, so at its bound the block goes again.
  Start("start=download; silent=block:3-5");
  image = h->MakeImage(kStart + 8 * 4096, kStart, 1);
  h->OpenImage(image);
  h->Select(IDC_TYPE, TYPE_EMERGENCY);
  const uint64_t t0 = h->win.Now();
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return FramesOf(0xDD) == 5; }, 60000)) << h->LogText();
  for (int i = 0; i < 200 && FramesOf(0xDD) == 5 && h->events.finished.empty(); ++i) {
    h->RunFor(2000);
    const std::vector<uint8_t> noise = {0x02, 0x11, 0x22, 0x7E};
    h->dlg->Comm().ParseRxData(noise.data(), static_cast<int>(noise.size()), h->win.Now());
  }
  EXPECT_EQ(FramesOf(0xDD), 6u) << "the block again at the wait's bound\n" << h->LogText();
  EXPECT_LE(h->win.Now() - t0, 60000u) << h->LogText();
  ASSERT_TRUE(h->RunUntil([&] { return !h->events.finished.empty(); }, 120000)) << h->LogText();
  EXPECT_EQ(h->events.LastOutcome(), Outcome::Completed) << h->LogText();
  EXPECT_EQ(FramesOf(0xEE), 1u) << "no erase while the sends were owed";
  const std::vector<uint8_t> bytes = h->ReadFile(image);
  const std::vector<uint8_t> after = h->Flash(0, kFlashSize);
  EXPECT_TRUE(std::equal(bytes.begin() + kStart, bytes.end(), after.begin() + kStart));
}

TEST_F(EngineBusyHandsetTest, ALineThatNeverFallsQuietEndsTheDownloadOnceItsSendsRunOut) {
  Start("start=download; silent=block:3-100");
  image = h->MakeImage(kStart + 8 * 4096, kStart, 1);
  h->OpenImage(image);
  h->Select(IDC_TYPE, TYPE_EMERGENCY);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return FramesOf(0xDD) == 5; }, 60000)) << h->LogText();
  for (int i = 0; i < 400 && h->events.finished.empty(); ++i) {
    h->RunFor(2000);
    const std::vector<uint8_t> noise = {0x02, 0x11, 0x22, 0x7E};
    h->dlg->Comm().ParseRxData(noise.data(), static_cast<int>(noise.size()), h->win.Now());
  }
  ASSERT_FALSE(h->events.finished.empty()) << "still waiting after 800 s\n" << h->LogText();
  EXPECT_EQ(h->events.LastOutcome(), Outcome::NoReply) << h->LogText();
  EXPECT_EQ(FramesOf(0xEE), 1u) << "no erase while the sends were owed";
  EXPECT_GT(FramesOf(0xDD), 5u) << "the block again at each bound";
  EXPECT_LE(FramesOf(0xDD), 2u + CReplyWait::kMaxSends) << "the block's sends are bounded";
  EXPECT_LE(h->win.Now(), 120000u) << "a request is given at most twelve periods";
  EXPECT_TRUE(IdleButtons());
}

TEST_F(EngineBusyHandsetTest, AStopDuringAPauseSendsNothingMore) {
  // Stop comes (as Ctrl-C's would, from another thread) while the engine pauses before the
  // switch to download mode: nothing more reaches the handset.
  Start("");
  image = h->MakeImage(kStart + 4 * 4096, kStart, 1);
  h->OpenImage(image);
  h->Click(IDC_RUN);
  // DM offline is answered within milliseconds; the engine then pauses three seconds.
  ASSERT_TRUE(h->RunUntil([&] { return FramesOf(0x29) == 1; }, 60000)) << h->LogText();
  h->RunFor(1000);
  ASSERT_TRUE(h->events.finished.empty()) << h->LogText();
  h->dlg->AskStop();
  h->Click(IDC_STOP);
  ASSERT_TRUE(h->RunUntil([&] { return !h->events.finished.empty(); }, 60000)) << h->LogText();
  h->RunFor(10000);
  EXPECT_EQ(h->events.LastOutcome(), Outcome::Stopped);
  EXPECT_EQ(FramesOf(0x29), 1u);
  EXPECT_EQ(FramesOf(0x3A), 0u) << "the switch to download mode went after the Stop";
  EXPECT_NE(h->LogText().find("Downloader stopped!!"), std::string::npos) << h->LogText();
}

TEST_F(EngineBusyHandsetTest, AnInterruptedDownloadIsRecoveredByARestartAndAnEmergencyDownload) {
  Start("write-ms=50");
  image = h->MakeImage(kStart + 16 * 4096, kStart, 1);
  h->OpenImage(image);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return FramesOf(0xDD) == 6; }, 120000)) << h->LogText();
  h->win.PostMessage(WM_CLOSE, 0, 0);  // the port closes with the flash half written
  ASSERT_TRUE(h->RunUntil([&] { return !h->events.finished.empty(); }, 10000));
  h->RunFor(60000);
  bool incomplete = false;
  h->loop->WithModel([&](sim::CHandsetModel& m) { incomplete = m.PowerCycle(h->win.Now()); });
  EXPECT_TRUE(incomplete) << "the restarted handset boots into download mode";

  h->events.finished.clear();
  h->Select(IDC_TYPE, TYPE_EMERGENCY);
  h->win.ExpectMessageBox("Downloading completed", IDOK);
  h->Click(IDC_RUN);
  ASSERT_TRUE(h->RunUntil([&] { return !h->events.finished.empty(); }, 600000)) << h->LogText();
  EXPECT_EQ(h->events.LastOutcome(), Outcome::Completed) << h->LogText();
  const std::vector<uint8_t> after = h->Flash(0, kFlashSize);
  const std::vector<uint8_t> bytes = h->ReadFile(image);
  EXPECT_TRUE(std::equal(bytes.begin() + kStart, bytes.end(), after.begin() + kStart));
}

}  // namespace
