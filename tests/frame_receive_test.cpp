// What the codec makes of received bytes in each framing state, however the line cuts them.
#include <gtest/gtest.h>

#include <utility>

#include "Comm/Crc.h"
#include "support/Bytes.h"
#include "support/LinkFixture.h"

namespace {

enum class Rx { Raw9600, Dload, DmCrc30, DmPlain };

class FrameReceiveTest : public LinkFixture {
 protected:
  void SetState(Rx rx) {
    comm->m_dwBaud = rx == Rx::Raw9600 ? 9600 : 57600;
    comm->m_bDloadFraming = rx == Rx::Dload;
    comm->m_bCrc30Mode = rx == Rx::DmCrc30 ? 1 : 0;
  }
  // Each chunk is one read; `gapMs` of silence before each but the first.
  void Reads(const std::vector<std::string>& chunks, uint64_t gapMs = 0) {
    bool first = true;
    for (const auto& c : chunks) {
      if (!first) now += gapMs;
      first = false;
      auto bytes = Hex(c);
      comm->ParseRxData(bytes.data(), static_cast<int>(bytes.size()), now);
    }
  }
  void Read(const std::vector<uint8_t>& bytes) {
    comm->ParseRxData(bytes.data(), static_cast<int>(bytes.size()), now);
  }
  // Takes what the link handed on: the replies its check bytes vouch for (as hex, check bytes
  // included) apart from the frames it could not vouch for, which the engine judges.
  void TakeFrames() {
    for (const auto& m : target.Take()) {
      if (m.message != WM_RX_PACKET) continue;
      const RxCheck c = m.packet.check;
      if (c == RxCheck::Damaged || c == RxCheck::FcsMismatch) {
        ++m_bad;
      } else {
        m_good.push_back(ToHex(m.packet.bytes.data(), m.packet.size));
      }
    }
    EXPECT_TRUE(DrainLog().empty()) << "the link logs nothing of what it hands on";
  }
  std::vector<std::string> Delivered() {
    TakeFrames();
    return std::exchange(m_good, {});
  }
  int BadFrames() {
    TakeFrames();
    return std::exchange(m_bad, 0);
  }
  // A fresh command: nothing known of the handset's check bytes, nothing half assembled.
  void Fresh(Rx rx) {
    SetState(rx);
    now += 1000;
    Reads({"7E"});
    target.Take();
    DrainLog();
  }

  uint64_t now = 1000;
  std::vector<std::string> m_good;
  int m_bad = 0;
};

struct RxCase {
  const char* name;
  Rx rx;
  std::vector<std::string> chunks;
  std::vector<std::string> delivered;
  int badFrames;
};

TEST_F(FrameReceiveTest, FramesByState) {
  const RxCase cases[] = {
      {"crc30 reply accepted with its check bytes", Rx::DmCrc30, {"0C 1E 2A A8 11 7E"}, {"0C 1E 2A A8 11"}, 0},
      {"crc30 mismatch rejected", Rx::DmCrc30, {"0C 1E 2A A8 12 7E"}, {}, 1},
      {"crc30 four bytes against the empty crc", Rx::DmCrc30, {"00 00 00 00 7E"}, {"00 00 00 00"}, 0},
      {"crc30 three bytes too short", Rx::DmCrc30, {"00 00 00 7E"}, {}, 1},
      {"crc30 escapes shrink below four", Rx::DmCrc30, {"7D 5E 7D 5E 7E"}, {}, 1},
      {"an opening 0x7F is dropped", Rx::DmCrc30, {"7F 0C 1E 2A A8 11 7E"}, {"0C 1E 2A A8 11"}, 0},
      {"split over two reads", Rx::DmCrc30, {"0C 1E", "2A A8 11 7E"}, {"0C 1E 2A A8 11"}, 0},
      {"plain reply unescaped and checked", Rx::DmPlain, {"13 7D 5D 7D 5E AA 91 05 7E"}, {"13 7D 7E AA 91 05"}, 0},
      {"download ack with its fcs", Rx::Dload, {"7E 02 6A D3 7E"}, {"02 6A D3"}, 0},
      {"download nak with its fcs", Rx::Dload, {"A1 FB 44 7E"}, {"A1 FB 44"}, 0},
      {"download too short", Rx::Dload, {"02 6A 7E"}, {}, 1},
      {"frame ending inside an escape", Rx::Dload, {"02 6A D3 7D 7E"}, {}, 1},
      {"a flag alone closes nothing", Rx::Dload, {"7E"}, {}, 0},
      {"flags alone close nothing in DM either", Rx::DmCrc30, {"7E 7E 7E"}, {}, 0},
      {"raw keeps escapes", Rx::Raw9600, {"AA AF 7D 5E 7E"}, {"AA AF 7D 5E"}, 0},
      {"raw strips both flags", Rx::Raw9600, {"7F AA AF 7E"}, {"AA AF"}, 0},
      {"two replies in one read, one by one", Rx::Dload, {"02 6A D3 7E A1 FB 44 7E"}, {"02 6A D3", "A1 FB 44"}, 0},
      {"no closing flag yet", Rx::Dload, {"02 6A D3"}, {}, 0},
      {"a 7E before the reply is an opening flag", Rx::Dload, {"7E", "02 6A D3 7E"}, {"02 6A D3"}, 0},
      {"noise byte 02 before a nak in the same read", Rx::Dload, {"02 A1 FB 44 7E"}, {}, 1},
      {"noise byte 00 before a reply in the same read", Rx::Dload, {"00 02 6A D3 7E"}, {}, 1},
      {"noise byte 55 before a reply in the same read", Rx::Dload, {"55 02 6A D3 7E"}, {}, 1},
  };
  for (const auto& c : cases) {
    Fresh(c.rx);
    Reads(c.chunks, 3);
    EXPECT_EQ(Delivered(), c.delivered) << c.name;
    EXPECT_EQ(BadFrames(), c.badFrames) << c.name;
  }
}

TEST_F(FrameReceiveTest, AReplySplitByAnAdapterIsJoinedAtAnyGapUpToTheLimit) {
  const std::vector<uint8_t> version = Crc30Reply(std::vector<uint8_t>(52, 0x31));
  const std::vector<uint8_t> ack = Fcs16Reply({0x02});
  struct Reply {
    Rx rx;
    std::vector<uint8_t> wire;
  };
  for (const Reply& r : {Reply{Rx::DmCrc30, version}, Reply{Rx::Dload, ack}}) {
    for (uint64_t gap : {6, 16, 17, 25, 40, 99}) {
      for (size_t cut = 1; cut < r.wire.size(); ++cut) {
        Fresh(r.rx);
        Read({r.wire.begin(), r.wire.begin() + static_cast<ptrdiff_t>(cut)});
        now += gap;
        Read({r.wire.begin() + static_cast<ptrdiff_t>(cut), r.wire.end()});
        auto got = target.Take();
        ASSERT_EQ(got.size(), 1u) << "gap " << gap << " cut " << cut;
        EXPECT_EQ(got[0].packet.PayloadSize(), r.wire.size() - 1 - got[0].packet.checkSize);
        EXPECT_EQ(BadFrames(), 0);
      }
    }
  }
}

TEST_F(FrameReceiveTest, SilenceLongerThanTheLimitDropsAHalfFrame) {
  Fresh(Rx::DmCrc30);
  Reads({"0C 1E"});
  now += CBssComm::kInterByteLimitMs + 1;
  Reads({"0C 1E 2A A8 11 7E"});
  EXPECT_EQ(Delivered(), std::vector<std::string>{"0C 1E 2A A8 11"}) << "the stale part is gone, silently";
  EXPECT_EQ(BadFrames(), 0);

  // Noise a while before a reply spoils nothing; noise just before it spoils that reply only.
  for (const char* noise : {"00", "02", "55"}) {
    Fresh(Rx::Dload);
    Reads({noise});
    now += 200;
    Reads({"02 6A D3 7E"});
    EXPECT_EQ(Delivered(), std::vector<std::string>{"02 6A D3"}) << noise;
    Reads({noise});
    now += 20;
    Reads({"A1 FB 44 7E", "02 6A D3 7E"});
    EXPECT_EQ(Delivered(), std::vector<std::string>{"02 6A D3"}) << noise << ": the NAK is never an ACK";
    EXPECT_EQ(BadFrames(), 1);
  }
}

TEST_F(FrameReceiveTest, CheckBytesTravelWithTheReplyForTheEngineToJudge) {
  struct CheckCase {
    Rx rx;
    const char* wire;
    RxCheck check;
    bool dload;
  };
  const CheckCase cases[] = {
      {Rx::Dload, "02 6A D3 7E", RxCheck::FcsMatch, true},
      {Rx::Dload, "02 12 34 7E", RxCheck::FcsMismatch, true},
      {Rx::DmPlain, "29 01 00 AA BB 7E", RxCheck::FcsMismatch, false},
      {Rx::DmCrc30, "0C 1E 2A A8 11 7E", RxCheck::Crc30, false},
      {Rx::DmCrc30, "0C 1E 2A A8 12 7E", RxCheck::Damaged, false},
      {Rx::Raw9600, "AA AF 7E", RxCheck::None, false},
      {Rx::Dload, "02 6A 7E", RxCheck::Damaged, true},
  };
  for (const auto& c : cases) {
    Fresh(c.rx);
    Reads({c.wire});
    const auto msgs = target.Take();
    ASSERT_EQ(msgs.size(), 1u) << c.wire;
    EXPECT_EQ(msgs[0].packet.check, c.check) << c.wire;
    EXPECT_EQ(msgs[0].packet.dload, c.dload) << c.wire;
    if (c.check == RxCheck::FcsMatch || c.check == RxCheck::FcsMismatch) {
      EXPECT_EQ(msgs[0].packet.checkSize, 2) << c.wire << ": the engine reads the code without them";
    }
  }
}

TEST_F(FrameReceiveTest, AnOverlongFrameIsSkippedUpToItsFlag) {
  Fresh(Rx::DmPlain);
  std::vector<uint8_t> frame(511, 0x41);
  const uint16_t c = crc::Fcs16(frame.data(), 509);
  frame[509] = static_cast<uint8_t>(c & 0xFF);
  frame[510] = static_cast<uint8_t>(c >> 8);
  frame.push_back(0x7E);
  EXPECT_TRUE(comm->ParseRxData(frame.data(), 512, now));
  auto delivered = target.Take();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].packet.size, kRxBufSize) << "511 bytes are cut to the 500 of the buffer";
  EXPECT_EQ(delivered[0].packet.checkSize, 0) << "the check bytes were cut off";
  EXPECT_EQ(delivered[0].packet.bytes[kRxBufSize - 1], 0x41);

  std::vector<uint8_t> junk(600, 0x41);
  EXPECT_FALSE(comm->ParseRxData(junk.data(), 600, now));
  const auto ack = Fcs16Reply({0x02});
  const std::vector<uint8_t> tail = {0x41, 0x41, 0x7E};
  EXPECT_TRUE(comm->ParseRxData(tail.data(), 3, now));
  comm->m_bDloadFraming = 1;
  EXPECT_TRUE(comm->ParseRxData(ack.data(), static_cast<int>(ack.size()), now));
  EXPECT_EQ(Delivered(), std::vector<std::string>{"02 6A D3"}) << "the reply after the skipped frame is whole";
  EXPECT_TRUE(DrainLog().empty()) << "an overflow logs nothing";
}

TEST_F(FrameReceiveTest, EachReplyTravelsInItsOwnMessageWithItsLength) {
  Fresh(Rx::Dload);
  Reads({"02 6A D3 7E", "A1 FB 44 7E"});
  auto msgs = target.Take();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].packet.PayloadSize(), 1u);

  comm->StoreResponse(msgs[1].packet);
  comm->StoreResponse(msgs[0].packet);
  EXPECT_EQ(comm->GetRxSize(), 1u);
  // Only the delivered bytes are replaced; the rest keep the older contents.
  EXPECT_EQ(ToHex(comm->m_RxBuf.data(), 4), "02 6A D3 00");
}

TEST_F(FrameReceiveTest, LongestFrameAfterUnescapingFitsTheBuffer) {
  // 510 escaped bytes shrink to 255; a CRC-30 frame of that size is checked over all of them.
  Fresh(Rx::DmCrc30);
  std::vector<uint8_t> body(251, 0x7D);
  const std::vector<uint8_t> wire = Crc30Reply(body);
  ASSERT_LE(wire.size(), 512u);
  Read(wire);
  auto msgs = target.Take();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].packet.size, body.size() + 4);
  EXPECT_EQ(msgs[0].packet.PayloadSize(), body.size());
  EXPECT_EQ(BadFrames(), 0);
}

}  // namespace
