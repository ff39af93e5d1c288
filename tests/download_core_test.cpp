// The download core on its own: events in, actions out, on a clock the test keeps. No window,
// no link, no handset but the replies each test writes.
#include <gtest/gtest.h>

#include <map>
#include <type_traits>

#include "Comm/Crc.h"
#include "Comm/FrameWire.h"
#include "Comm/bsscomm.h"
#include "engine/DownloadCore.h"
#include "support/FakeSerialDevice.h"

namespace {

using engine::Action;

class CoreScript {
 public:
  CDownloadCore core;
  uint64_t now = 1000;
  uint64_t handed = 0;  // bytes the port was handed, in the link's count
  std::map<uint32_t, uint64_t> timers;
  std::vector<std::vector<uint8_t>> sent;  // payloads, ToDM sequences as {step}
  std::vector<Outcome> finished;
  std::vector<std::string> notices, questions, logs;
  bool blocksReadable = true;
  std::optional<bool> versionAnswer;  // given at once when set

  engine::Moment At() const { return {now, handed}; }

  void Drive() {
    while (core.HasActions()) {
      for (const Action& a : core.TakeActions()) Apply(a);
    }
  }

  void StartDownload(int type, uint32_t fileVer = 1, uint32_t blocks = 2) {
    core.Begin(At(), EngineCommand::Download, engine::LinkState{57600, true});
    engine::DownloadJob job;
    job.type = type;
    job.fileVer = fileVer;
    job.startAddr = 0x10000;
    job.length = blocks * 4096;
    core.StartDownload(At(), job);
    Drive();
  }

  // A reply as the link stamps it: by the time it came, everything handed had left (or, with
  // bytesShort, all but that many bytes).
  void Reply(std::vector<uint8_t> payload, bool dload = true, uint64_t bytesShort = 0) {
    const uint16_t fcs = crc::Fcs16(payload.data(), payload.size());
    RxPacket p;
    std::copy(payload.begin(), payload.end(), p.bytes.begin());
    p.bytes[payload.size()] = static_cast<uint8_t>(fcs & 0xFF);
    p.bytes[payload.size() + 1] = static_cast<uint8_t>(fcs >> 8);
    p.size = static_cast<uint16_t>(payload.size() + 2);
    p.checkSize = 2;
    p.check = RxCheck::FcsMatch;
    p.dload = dload;
    p.hostBytesOut = p.hostBytesWritten = handed - bytesShort;
    p.rxMs = now;
    core.OnFrame(At(), p);
    Drive();
  }

  // Fires the timers that run out within ms, in order.
  void RunFor(uint64_t ms) {
    const uint64_t until = now + ms;
    for (;;) {
      auto next = timers.end();
      for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->second <= until && (next == timers.end() || it->second < next->second)) next = it;
      }
      if (next == timers.end()) break;
      const uint32_t id = next->first;
      now = next->second;
      timers.erase(next);
      core.OnTimer(At(), id);
      Drive();
    }
    now = until;
  }

  // Answers every request with its ACK (DM requests with their echo) after 20 ms, until the
  // command ends or the bound.
  void AnswerEverything(uint64_t boundMs = 600000) {
    size_t answered = 0;
    const uint64_t until = now + boundMs;
    while (finished.empty() && now < until) {
      if (answered < sent.size()) {
        const std::vector<uint8_t> request = sent[answered++];
        RunFor(20);
        if (request.size() == 1 && request[0] == 0x00) {
          Reply(VersionReply(1), false);
        } else if (request[0] == 0x29 || request[0] == 0x3A) {
          Reply({request[0]}, false);
        } else {
          Reply({0x02});
        }
      } else {
        RunFor(100);
      }
    }
  }

  // Through the set-up and the erase of a download-mode start, each answered with its ACK.
  void AckUntilFirstBlock() {
    while (Sent(0xDD) == 0 && finished.empty()) {
      RunFor(20);
      Reply({0x02});
      RunFor(300);
    }
  }

  static std::vector<uint8_t> VersionReply(uint16_t rev) {
    std::vector<uint8_t> r(52, ' ');
    r[0] = 0x00;
    r[50] = static_cast<uint8_t>(rev);
    r[51] = static_cast<uint8_t>(rev >> 8);
    return r;
  }

  size_t Sent(uint8_t code) const {
    return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [&](const auto& p) { return p[0] == code; }));
  }

 private:
  void Apply(const Action& action) {
    std::visit(
        [this](const auto& a) {
          using T = std::decay_t<decltype(a)>;
          if constexpr (std::is_same_v<T, engine::ArmTimer>) {
            timers[a.id] = now + a.ms;
          } else if constexpr (std::is_same_v<T, engine::KillTimer>) {
            timers.erase(a.id);
          } else if constexpr (std::is_same_v<T, engine::SendFrame>) {
            handed += wire::FrameSize(a.payload.data(), a.payload.size(), true);
            sent.push_back(a.payload);
          } else if constexpr (std::is_same_v<T, engine::SendToDm>) {
            handed += wire::ToDmSequenceSize(a.step);
            sent.push_back({static_cast<uint8_t>(a.step)});
          } else if constexpr (std::is_same_v<T, engine::ReadBlock>) {
            if (!blocksReadable) {
              core.OnBlockUnreadable(At(), "the file went away");
              return;
            }
            BlockRecord block;
            block.SetAddress(a.startAddr + a.index * 4096);
            block.SetLength(4096);
            std::fill_n(block.Data(), 4096, static_cast<uint8_t>(a.index));
            core.OnBlock(At(), block);
          } else if constexpr (std::is_same_v<T, engine::AskVersion>) {
            questions.push_back(a.text);
            if (versionAnswer) core.OnVersionAnswer(At(), *versionAnswer);
          } else if constexpr (std::is_same_v<T, engine::Notice>) {
            notices.push_back(a.text);
          } else if constexpr (std::is_same_v<T, engine::LogLine>) {
            logs.push_back(a.text);
          } else if constexpr (std::is_same_v<T, engine::Finished>) {
            finished.push_back(a.outcome);
          }
        },
        action);
  }
};

std::vector<uint8_t> Codes(const CoreScript& s) {
  std::vector<uint8_t> codes;
  for (const auto& p : s.sent) codes.push_back(p[0]);
  return codes;
}

bool Logged(const CoreScript& s, const std::string& text) {
  return std::any_of(s.logs.begin(), s.logs.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(DownloadCore, EachTypeSendsItsRequestsInOrderAndCompletesOnlyWhenAllAreAnswered) {
  struct Case {
    int type;
    std::vector<uint8_t> codes;
  } cases[] = {
      {TYPE_EMERGENCY, {0xA0, 0xB0, 0xF0, 0xC0, 0xA0, 0xEE, 0xDD, 0xDD, 0xC0}},
      {TYPE_NORMAL, {0x00, 0x29, 0x3A, 0xA0, 0xB0, 0xF0, 0xC0, 0xA0, 0xEE, 0xDD, 0xDD, 0xC0}},
  };
  for (const Case& c : cases) {
    CoreScript s;
    s.StartDownload(c.type);
    s.AnswerEverything();
    EXPECT_EQ(Codes(s), c.codes) << c.type;
    ASSERT_EQ(s.finished, std::vector<Outcome>{Outcome::Completed}) << c.type;
    EXPECT_EQ(s.notices, std::vector<std::string>{"Downloading completed"});
  }
}

TEST(DownloadCore, AnAckStampedBeforeTheBlocksLastByteLeftIsNotItsAnswer) {
  CoreScript s;
  s.StartDownload(TYPE_EMERGENCY, 1, 1);
  s.AckUntilFirstBlock();
  ASSERT_EQ(s.Sent(0xDD), 1u);
  s.RunFor(10);
  s.Reply({0x02}, true, 1);  // the block's closing flag had not left
  EXPECT_TRUE(Logged(s, "before the request had gone out"));
  s.RunFor(1000);
  EXPECT_EQ(s.Sent(0xC0), 1u) << "only the set-up's jump: the block is still owed its answer";
  s.Reply({0x02});
  s.RunFor(300);
  EXPECT_EQ(s.Sent(0xC0), 2u) << "the block's own ACK moves on to the final jump";
}

TEST(DownloadCore, ThePausesBetweenModesAreTimersAndAStopInOneSendsNothingMore) {
  CoreScript s;
  s.StartDownload(TYPE_NORMAL);
  s.RunFor(20);
  s.Reply(CoreScript::VersionReply(1), false);
  s.RunFor(20);
  s.Reply({0x29}, false);  // DM offline: the handset changes mode for three seconds
  ASSERT_EQ(s.timers.count(TM_PAUSE), 1u);
  EXPECT_EQ(s.timers[TM_PAUSE], s.now + 3000);
  s.RunFor(2000);
  EXPECT_EQ(s.Sent(0x3A), 0u);
  ASSERT_TRUE(s.core.Stop(s.At()));
  s.Drive();
  s.RunFor(10000);
  EXPECT_EQ(s.Sent(0x3A), 0u);
  EXPECT_EQ(s.finished, std::vector<Outcome>{Outcome::Stopped});
}

TEST(DownloadCore, TheVersionQuestionHoldsTheDownloadUntilItIsAnswered) {
  for (bool go : {true, false}) {
    CoreScript s;
    s.StartDownload(TYPE_NORMAL, 2);
    s.RunFor(20);
    s.Reply(CoreScript::VersionReply(1), false);
    ASSERT_EQ(s.questions.size(), 1u);
    s.RunFor(60000);
    EXPECT_EQ(s.Sent(0x29), 0u) << "nothing goes while the question is open";
    EXPECT_TRUE(s.finished.empty());
    s.core.OnVersionAnswer(s.At(), go);
    s.Drive();
    s.RunFor(1900);
    EXPECT_EQ(s.Sent(0x29), go ? 1u : 0u);
    EXPECT_TRUE(s.finished.empty()) << "a No shows for two seconds";
    if (!go) {
      s.RunFor(200);
      EXPECT_EQ(s.finished, std::vector<Outcome>{Outcome::Declined});
    }
  }
}

TEST(DownloadCore, ABlockThatCannotBeReadEndsTheDownloadWithNothingSentForIt) {
  CoreScript s;
  s.blocksReadable = false;
  s.StartDownload(TYPE_EMERGENCY);
  s.AnswerEverything();
  EXPECT_EQ(s.Sent(0xDD), 0u);
  EXPECT_EQ(s.finished, std::vector<Outcome>{Outcome::ReadError});
  ASSERT_EQ(s.notices.size(), 1u);
  EXPECT_NE(s.notices[0].find("the file went away"), std::string::npos);
}

TEST(DownloadCore, StopIsRefusedWhileTheFlashIsWritten) {
  CoreScript s;
  s.StartDownload(TYPE_EMERGENCY, 1, 4);
  s.AckUntilFirstBlock();
  EXPECT_FALSE(s.core.Stop(s.At()));
  s.Drive();
  EXPECT_TRUE(Logged(s, "can't stop downloading"));
  EXPECT_TRUE(s.finished.empty());
}

TEST(DownloadCore, ALostBlockIsNeverCompletedOnTheEarlierBlocksRepeatedAck) {
  // The second fault the explorer was built to find, on the core alone: block 1's ACK comes
  // twice 60 ms apart, block 2 is lost.
  CoreScript s;
  s.StartDownload(TYPE_EMERGENCY, 1, 2);
  s.AckUntilFirstBlock();
  s.RunFor(800);
  s.Reply({0x02});
  ASSERT_EQ(s.Sent(0xDD), 2u);
  s.RunFor(60);
  // The repeat, while block 2 is still crossing the line (4 KiB take 713 ms at 57600 bit/s) and
  // never arrives: the link stamps it with what had left by then.
  const uint64_t leftIn60Ms = 60 * 57600 / 10 / 1000;
  s.Reply({0x02}, true, 4096 - leftIn60Ms);
  s.RunFor(120000);
  EXPECT_TRUE(s.finished.empty() || s.finished.back() != Outcome::Completed);
  EXPECT_GT(s.Sent(0xDD), 2u) << "block 2 goes again";
}

// The count the core keeps of its sends is the link's: every byte the link writes for a frame.
TEST(FrameWire, TheSizeOfAFrameIsWhatTheLinkWrites) {
  auto device = std::make_unique<CFakeSerialDevice>();
  CBssComm link(std::move(device));
  const std::vector<std::vector<uint8_t>> payloads = {
      {0x00}, {0x7E}, {0x7D, 0x7F, 0x7E}, {0xA0}, {0x29, 0x01, 0x00}, {0xEE, 0, 0, 1, 0, 0, 0x20, 0, 0}};
  for (bool dload : {true, false}) {
    for (const auto& p : payloads) {
      link.SendRequest(p.data(), p.size(), dload, "");
      EXPECT_EQ(wire::FrameSize(p.data(), p.size(), dload || link.m_bCrc30Mode == 1), link.GetLastFrameBytes());
    }
  }
  // Payloads whose check bytes need escaping too.
  for (int b = 0; b < 256; ++b) {
    const uint8_t p[2] = {0xDD, static_cast<uint8_t>(b)};
    link.SendRequest(p, 2, true, "");
    ASSERT_EQ(wire::FrameSize(p, 2, true), link.GetLastFrameBytes()) << b;
  }
}

}  // namespace
