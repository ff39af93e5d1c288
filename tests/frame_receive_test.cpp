// What the codec makes of received bytes in each framing state.
#include <gtest/gtest.h>

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
  // One burst: the assembly restarts, then each chunk is parsed as one read.
  void Burst(const std::vector<std::string>& chunks) {
    comm->m_nRxCount = 0;
    for (const auto& c : chunks) {
      auto bytes = Hex(c);
      comm->ParseRxData(bytes.data(), static_cast<int>(bytes.size()));
    }
  }
  // Delivered payloads as hex, and how many bad-frame lines were logged.
  std::vector<std::string> Delivered() {
    std::vector<std::string> out;
    for (const auto& m : target.Take()) {
      if (m.message == WM_RX_PACKET) out.push_back(ToHex(m.packet.bytes.data(), m.packet.size));
    }
    return out;
  }
  int BadFrames() {
    int n = 0;
    for (const auto& e : DrainLog()) {
      EXPECT_EQ(e.m_nKind, 3);
      EXPECT_EQ(e.m_strText, "\n[RX]Bad CRC in response packet\n");
      ++n;
    }
    return n;
  }
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
      {"opening flags are dropped anywhere", Rx::DmCrc30, {"7F 0C 7E 1E 2A A8 11 7E"}, {"0C 1E 2A A8 11"}, 0},
      {"split inside one burst", Rx::DmCrc30, {"0C 1E", "2A A8 11 7E"}, {"0C 1E 2A A8 11"}, 0},
      {"plain reply unescaped, check bytes kept", Rx::DmPlain, {"13 7D 5D 7D 5E AA 7E"}, {"13 7D 7E AA"}, 0},
      {"plain minimum is three", Rx::DmPlain, {"02 11 7E"}, {}, 1},
      {"download ack with its fcs", Rx::Dload, {"7E 02 6A D3 7E"}, {"02 6A D3"}, 0},
      {"download empty frame", Rx::Dload, {"7E"}, {}, 1},
      {"plain empty frame", Rx::DmPlain, {"7E"}, {}, 1},
      {"crc30 empty frame", Rx::DmCrc30, {"7E"}, {}, 1},
      {"raw delivers an empty frame", Rx::Raw9600, {"7E"}, {""}, 0},
      {"raw keeps escapes", Rx::Raw9600, {"AA AF 7D 5E 7E"}, {"AA AF 7D 5E"}, 0},
      {"raw strips both flags", Rx::Raw9600, {"7F AA AF 7E"}, {"AA AF"}, 0},
      {"two replies in one read are joined", Rx::Dload, {"02 6A D3 7E 02 6A D3 7E"}, {"02 6A D3 02 6A D3"}, 0},
      {"no closing flag yet", Rx::Dload, {"02 6A D3"}, {}, 0},
  };
  for (const auto& c : cases) {
    SetState(c.rx);
    Burst(c.chunks);
    EXPECT_EQ(Delivered(), c.delivered) << c.name;
    EXPECT_EQ(BadFrames(), c.badFrames) << c.name;
  }
}

TEST_F(FrameReceiveTest, AReplySplitAcrossBurstsLosesItsFirstPart) {
  SetState(Rx::DmCrc30);
  Burst({"0C 1E"});
  Burst({"2A A8 11 7E"});
  EXPECT_TRUE(Delivered().empty());
  EXPECT_EQ(BadFrames(), 1);

  SetState(Rx::DmPlain);
  Burst({"00 11 22"});
  Burst({"33 44 55 7E"});
  EXPECT_EQ(Delivered(), std::vector<std::string>{"33 44 55"});
}

TEST_F(FrameReceiveTest, AssemblyHoldsExactly512Bytes) {
  SetState(Rx::DmPlain);
  std::vector<uint8_t> frame(511, 0x41);
  frame.push_back(0x7E);
  comm->m_nRxCount = 0;
  EXPECT_TRUE(comm->ParseRxData(frame.data(), 512));
  auto delivered = target.Take();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].packet.size, kRxBufSize) << "511 payload bytes are cut to the 500 of the buffer";
  EXPECT_EQ(delivered[0].packet.bytes[kRxBufSize - 1], 0x41);

  // The 513th byte before any frame end overflows; the rest of that chunk starts afresh.
  std::vector<uint8_t> junk(512, 0x41);
  comm->m_nRxCount = 0;
  EXPECT_TRUE(comm->ParseRxData(junk.data(), 512));
  const uint8_t more[] = {0x41, 0x02, 0x6A, 0xD3};
  EXPECT_FALSE(comm->ParseRxData(more, sizeof more));
  EXPECT_EQ(comm->m_nRxCount, 3);
  EXPECT_TRUE(target.Take().empty());
  EXPECT_TRUE(DrainLog().empty()) << "an overflow logs nothing";
}

TEST_F(FrameReceiveTest, EachReplyTravelsInItsOwnMessage) {
  // A handset that answers twice must not change the reply the window is about to read.
  SetState(Rx::Dload);
  Burst({"02 11 22 7E"});
  Burst({"A1 33 44 55 7E"});
  auto msgs = target.Take();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(ToHex(msgs[0].packet.bytes.data(), msgs[0].packet.size), "02 11 22");
  EXPECT_EQ(ToHex(msgs[1].packet.bytes.data(), msgs[1].packet.size), "A1 33 44 55");

  comm->StoreResponse(msgs[1].packet);
  comm->StoreResponse(msgs[0].packet);
  // Only the delivered bytes are replaced; the rest keep the older contents.
  EXPECT_EQ(ToHex(comm->m_RxBuf.data(), 5), "02 11 22 55 00");
}

TEST_F(FrameReceiveTest, LongestFrameAfterUnescapingFitsTheBuffer) {
  // 510 escaped bytes shrink to 255; a CRC-30 frame of that size is checked over all of them.
  SetState(Rx::DmCrc30);
  std::vector<uint8_t> body(251, 0x7D);
  const uint32_t c = crc::Crc30(body.data(), body.size() * 8);
  for (int s = 24; s >= 0; s -= 8) body.push_back(static_cast<uint8_t>(c >> s));
  const std::vector<uint8_t> wire = EscapeAndClose(body);
  ASSERT_LE(wire.size(), 512u);
  comm->m_nRxCount = 0;
  comm->ParseRxData(wire.data(), static_cast<int>(wire.size()));
  auto msgs = target.Take();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].packet.size, body.size());
  EXPECT_EQ(BadFrames(), 0);
}

}  // namespace
